# Warnings and sanitizer flags shared by every target of the tree.

if(QORAPI_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "QORAPI_BUILD_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
    endif()
    if(NOT QORAPI_SANITIZE STREQUAL "")
        message(FATAL_ERROR "QORAPI_BUILD_FUZZ brings its own sanitizers; leave QORAPI_SANITIZE empty")
    endif()
    # Coverage instrumentation everywhere; the fuzz programs link the fuzzer itself.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(QORAPI_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(QORAPI_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT QORAPI_SANITIZE STREQUAL "")
    message(FATAL_ERROR "QORAPI_SANITIZE must be empty, 'address' or 'thread'")
endif()

function(qorapi_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(QORAPI_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
