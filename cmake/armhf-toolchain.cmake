# Cross-building for 32-bit ARM (armhf) with Debian's crossbuild-essential-armhf, against the
# armhf libraries installed beside the host's (dpkg --add-architecture armhf). Used by
# scripts/armhf.sh; the programs run under qemu-arm-static, test discovery included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# No -L prefix: the emulated programs load the armhf C and C++ runtimes of Debian's archive
# (libc6:armhf, libstdc++6:armhf under /lib/arm-linux-gnueabihf). The cross toolchain's own
# copies under /usr/arm-linux-gnueabihf make every program that starts a thread crash under
# qemu-user 7.2 (scripts/armhf.sh shows it with a minimal program).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
# Headers and libraries of the target only; programs (cmake, python) of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# GCC notes that passing std::pair<float, float> changed ABI in GCC 10.1; everything here is
# built by one compiler, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
