# Cross build for 32-bit Windows with mingw-w64 (posix thread model). The
# programs cannot run here; the build checks that they compile and link.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QORAPI_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwCommon.cmake)
