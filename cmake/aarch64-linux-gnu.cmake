# Cross-compiles for 64-bit ARM on a Debian x86-64 machine with crossbuild-essential-arm64
# and the arm64 -dev packages installed beside the native ones (dpkg --add-architecture
# arm64): the headers are shared, the libraries come from /usr/lib/aarch64-linux-gnu, which
# CMake searches because the compiler reports that library architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# pkg-config (FindFontconfig) must read arm64's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# Programs (python3, the X tools) are the build machine's; libraries and packages arm64's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
