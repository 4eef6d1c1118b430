# Build settings shared by every target: language level, warnings, strict Qt
# string handling and the optional sanitizers.
include_guard(GLOBAL)

option(KVR_WERROR "Treat compiler warnings as errors" OFF)
set(KVR_SANITIZE "" CACHE STRING "Comma-separated sanitizers, e.g. address,undefined; ON means those two")
if(KVR_SANITIZE STREQUAL "ON")
    set(KVR_SANITIZE "address,undefined")
endif()

add_library(kvr_common_cfg INTERFACE)
target_compile_features(kvr_common_cfg INTERFACE cxx_std_17)
target_compile_options(kvr_common_cfg INTERFACE -Wall -Wextra -Wnon-virtual-dtor -Wold-style-cast)
if(KVR_WERROR)
    target_compile_options(kvr_common_cfg INTERFACE -Werror)
endif()
target_compile_definitions(kvr_common_cfg INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_USE_QSTRINGBUILDER
    QT_STRICT_ITERATORS
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH)

# ASLR, high-entropy ASLR and DEP for every Windows program, whatever the
# linker's defaults.
if(MINGW)
    target_link_options(kvr_common_cfg INTERFACE
        -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
endif()

if(KVR_SANITIZE)
    target_compile_options(kvr_common_cfg INTERFACE
        -fsanitize=${KVR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(kvr_common_cfg INTERFACE -fsanitize=${KVR_SANITIZE})
endif()

# Fuzzing needs clang's libFuzzer; every target is then instrumented.
option(KVR_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(KVR_FUZZ)
    target_compile_options(kvr_common_cfg INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
    target_link_options(kvr_common_cfg INTERFACE -fsanitize=address,undefined)
endif()
