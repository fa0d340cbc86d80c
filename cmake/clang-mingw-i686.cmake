set(KDHT_CLANG_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
