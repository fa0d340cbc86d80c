set(KDHT_CLANG_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
