// What the fuzz targets share: a check that aborts with a message (libFuzzer and the replay
// main both report an abort as a failure of the input), a scratch store directory that is
// removed again, and a reader that turns fuzz bytes into bounded numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond, what)                                                                \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, \
                         what);                                                               \
            std::abort();                                                                     \
        }                                                                                     \
    } while (false)

namespace vesko::fuzz {

// A fresh directory under $VESKO_FUZZ_TMP (default: /dev/shm when it exists, else the system's
// temporary directory), removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir() {
        namespace fs = std::filesystem;
        const char* base = std::getenv("VESKO_FUZZ_TMP");
        fs::path root = base != nullptr                ? fs::path(base)
                        : fs::is_directory("/dev/shm") ? fs::path("/dev/shm")
                                                       : fs::temp_directory_path();
        static std::mt19937_64 names{std::random_device{}()};
        path_ = root / ("vesko-fuzz-" + std::to_string(names()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;  // a directory left behind costs disk space, not correctness
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path() const { return path_.string(); }
    void write(const char* name, std::span<const unsigned char> bytes) const {
        std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

  private:
    std::filesystem::path path_;
};

// Draws numbers from the fuzz input; past its end every draw is zero, so every input decodes.
class Draw {
  public:
    explicit Draw(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    bool empty() const { return pos_ >= bytes_.size(); }
    std::uint8_t u8() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | std::uint32_t{u16()} << 16; }
    // A value in [lo, hi] on a grid of 65536 steps, with the bounds themselves and the raw
    // bits of a float (NaN, infinities, anything) each reachable.
    float in_range(float lo, float hi) {
        const std::uint8_t mode = u8();
        if (mode == 0) return lo;
        if (mode == 1) return hi;
        if (mode == 2) {
            const std::uint32_t bits = u32();
            float v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        return lo + (hi - lo) * (static_cast<float>(u16()) / 65535.0f);
    }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace vesko::fuzz
