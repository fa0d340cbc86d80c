# Debian's clang aimed at a mingw-w64 target, against the mingw-w64 headers and libraries and the
# C++ library of the gcc-posix cross compiler (clang has no mingw C++ library of its own here).
# Included by clang-mingw-<arch>.cmake, which sets KDHT_CLANG_ARCH first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KDHT_CLANG_ARCH})
set(KDHT_CLANG_TRIPLE ${KDHT_CLANG_ARCH}-w64-mingw32)
set(KDHT_GCC_DIR /usr/lib/gcc/${KDHT_CLANG_TRIPLE}/12-posix)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${KDHT_CLANG_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KDHT_CLANG_TRIPLE})
set(CMAKE_RC_COMPILER ${KDHT_CLANG_TRIPLE}-windres)

set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc++ -isystem ${KDHT_GCC_DIR}/include/c++ -isystem ${KDHT_GCC_DIR}/include/c++/${KDHT_CLANG_TRIPLE} -isystem ${KDHT_GCC_DIR}/include/c++/backward")
# lld links. The posix-thread C++ library needs winpthread, which the gcc driver adds and clang's
# does not; lld takes archives in any order, so it can be named among the flags. The C++ include
# flags above reach the link line too, where they mean nothing.
set(KDHT_CLANG_LINK "-fuse-ld=lld -L${KDHT_GCC_DIR} -lpthread -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KDHT_CLANG_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KDHT_CLANG_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KDHT_CLANG_LINK}")

set(CMAKE_FIND_ROOT_PATH /usr/${KDHT_CLANG_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
