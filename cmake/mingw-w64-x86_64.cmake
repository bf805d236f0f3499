# Cross build for 64-bit Windows with mingw-w64 (posix thread model, so that
# std::thread and std::mutex are available). Tests run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QORAPI_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwCommon.cmake)
find_program(QORAPI_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 NO_CMAKE_FIND_ROOT_PATH)
if(QORAPI_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QORAPI_WINE64})
endif()
