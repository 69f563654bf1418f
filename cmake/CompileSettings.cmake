# One interface target carries the warnings, definitions and sanitizer flags;
# every target of the project links it.
#
# ZENDRAL_SANITIZE selects a sanitizer build:
#   cmake -DZENDRAL_SANITIZE=thread   ...   (ThreadSanitizer)
#   cmake -DZENDRAL_SANITIZE=address  ...   (AddressSanitizer + UndefinedBehaviorSanitizer)
set(ZENDRAL_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'thread' or 'address'")
set_property(CACHE ZENDRAL_SANITIZE PROPERTY STRINGS "" thread address)

add_library(zendral_settings INTERFACE)
if(MSVC)
    target_compile_options(zendral_settings INTERFACE /W4 /utf-8)
else()
    target_compile_options(zendral_settings INTERFACE -Wall -Wextra)
endif()
target_compile_definitions(zendral_settings INTERFACE
    QT_DEPRECATED_WARNINGS
    QT_MESSAGELOGCONTEXT
    ZENDRAL_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
    ZENDRAL_BUILD_NUMBER="${ZENDRAL_BUILD_NUMBER}")

if(ZENDRAL_SANITIZE AND MSVC)
    message(FATAL_ERROR "ZENDRAL_SANITIZE is for GCC and Clang builds")
elseif(ZENDRAL_SANITIZE STREQUAL "thread")
    target_compile_options(zendral_settings INTERFACE -fsanitize=thread -fno-omit-frame-pointer -O1)
    target_link_options(zendral_settings INTERFACE -fsanitize=thread)
elseif(ZENDRAL_SANITIZE STREQUAL "address")
    target_compile_options(zendral_settings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(zendral_settings INTERFACE -fsanitize=address,undefined)
elseif(NOT ZENDRAL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "ZENDRAL_SANITIZE must be empty, 'thread' or 'address'")
endif()

# ZENDRAL_HARDEN: Debian's hardening flags (what dpkg-buildflags gives a
# package build): stack protector, fortified C library calls (they need an
# optimised build), format checks, and a read-only relocation table bound at
# start (BIND_NOW). Off in sanitizer builds, which instrument the same calls.
option(ZENDRAL_HARDEN "Build with Debian's hardening flags (GCC and Clang on Linux)" ON)
if(ZENDRAL_HARDEN AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT MSVC AND ZENDRAL_SANITIZE STREQUAL "")
    target_compile_options(zendral_settings INTERFACE
        -fstack-protector-strong -fstack-clash-protection -Wformat -Wformat-security
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
    target_link_options(zendral_settings INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()

# ZENDRAL_FUZZ builds the libFuzzer targets in tests/fuzz (Clang only): every
# target is instrumented for coverage, the fuzz targets link libFuzzer.
#   cmake -DCMAKE_CXX_COMPILER=clang++ -DZENDRAL_SANITIZE=address -DZENDRAL_FUZZ=ON ...
option(ZENDRAL_FUZZ "Build the libFuzzer targets (Clang)" OFF)
if(ZENDRAL_FUZZ)
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
    check_cxx_source_compiles("
        #include <cstddef>
        #include <cstdint>
        extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }"
        ZENDRAL_HAVE_LIBFUZZER)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(ZENDRAL_HAVE_LIBFUZZER)
        target_compile_options(zendral_settings INTERFACE -fsanitize=fuzzer-no-link)
    else()
        message(WARNING "ZENDRAL_FUZZ: the compiler cannot build libFuzzer targets; they are left out")
    endif()
endif()
