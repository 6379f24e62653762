"""A first look at vesko: add a few places, filter them, delete some, reopen the store.

    python examples/demo.py [--store DIR]
"""

import argparse
import json
import shutil

import vesko

PLACES = [
    ("cafe-einstein", 52.5058, 13.3725, {"kind": "cafe", "rating": 4.5, "city": "Berlin"}),
    ("cafe-westberlin", 52.5069, 13.3910, {"kind": "cafe", "rating": 4.1, "city": "Berlin"}),
    ("museum-pergamon", 52.5211, 13.3969, {"kind": "museum", "rating": 4.7, "city": "Berlin"}),
    ("bar-becketts", 52.5290, 13.4047, {"kind": "bar", "rating": 1.5, "city": "Berlin"}),
    ("cafe-flore", 48.8540, 2.3325, {"kind": "cafe", "rating": 4.3, "city": "Paris"}),
    ("bar-harrys", 48.8711, 2.3331, {"kind": "bar", "rating": 1.9, "city": "Paris"}),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", default="./demo-store", help="store directory (recreated)")
    args = parser.parse_args()

    shutil.rmtree(args.store, ignore_errors=True)
    db = vesko.Vesko(args.store)
    for place_id, lat, lon, meta in PLACES:
        db.add(place_id, lat, lon, json.dumps(meta))
    print(f"added {db.count()} places to {args.store}")

    for label, flt in [
        ("any cafe", {"kind": "cafe"}),
        ("a cafe in Paris", {"kind": "cafe", "city": "Paris"}),
        ("rated 4.6 or better", {"rating": {"$gte": 4.6}}),
        ("a pub", {"kind": "pub"}),
    ]:
        print(f"  {label:22} {json.dumps(flt):40} -> {db.exists(json.dumps(flt))}")

    removed = db.delete_by_filter('{"rating": {"$lt": 2}}')
    print(f"deleted {removed} places rated below 2; {db.count()} remain")
    db.delete("cafe-flore")
    print(f"deleted cafe-flore; {db.count()} remain")

    del db
    reopened = vesko.Vesko(args.store)
    present = reopened.exists(json.dumps({"id": "cafe-einstein"}))
    print(f"reopened from its log: {reopened.count()} places, cafe-einstein present: {present}")


if __name__ == "__main__":
    main()
