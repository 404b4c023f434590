# Windows 32-bit. There is no 32-bit Wine here: this build is compiled, not run.
set(TALVORO_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
