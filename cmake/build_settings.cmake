# SPDX-License-Identifier: GPL-2.0-or-later
# Settings shared by every program we ship: warnings, C-library-only linkage and the hardening
# options recommended for C and C++ (format warnings, fortify level 3, C++ library assertions,
# stack protector and stack clash protection, control-flow or branch protection, a read-only
# and non-executable memory layout). The optional flags are probed, and left out where this
# compiler or linker refuses them for its target; the others are always added.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

# A level of _FORTIFY_SOURCE that the caller or the compiler already sets is kept as it is.
set(CMAKE_REQUIRED_FLAGS "-O2 ${CMAKE_CXX_FLAGS_RELEASE}")
check_cxx_source_compiles("
#ifdef _FORTIFY_SOURCE
#error _FORTIFY_SOURCE is set
#endif
int main() { return 0; }" HALVEX_FORTIFY_LEVEL_UNSET)
unset(CMAKE_REQUIRED_FLAGS)

# Static PIE needs the C library's rcrt1.o, which some architectures' C libraries lack; there
# is no static build without PIE.
if(HALVEX_STATIC)
    set(CMAKE_REQUIRED_FLAGS -fPIE)
    set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
    check_cxx_source_compiles("int main() { return 0; }" HALVEX_STATIC_PIE_LINKS)
    unset(CMAKE_REQUIRED_FLAGS)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(NOT HALVEX_STATIC_PIE_LINKS)
        message(FATAL_ERROR "HALVEX_STATIC=ON needs static PIE (-static-pie), and the C library "
            "for ${CMAKE_SYSTEM_PROCESSOR} has none: build without HALVEX_STATIC.")
    endif()
endif()

add_library(plugin_build_settings INTERFACE)
target_compile_options(plugin_build_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wformat -Wformat=2 -Wimplicit-fallthrough -Werror=format-security
    -fno-exceptions -fno-rtti
    -fstack-protector-strong
    $<$<BOOL:${HALVEX_STATIC}>:-fPIE>)
target_compile_definitions(plugin_build_settings INTERFACE _GLIBCXX_ASSERTIONS)
if(HALVEX_FORTIFY_LEVEL_UNSET)
    target_compile_definitions(plugin_build_settings INTERFACE
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=3>)
endif()

# -fcf-protection=full is taken on x86 only, -mbranch-protection=standard on AArch64 only;
# clang merely warns about a flag for another target.
set(CMAKE_REQUIRED_FLAGS -Werror)
foreach(flag -fstack-clash-protection -fstrict-flex-arrays=3 -fcf-protection=full
        -mbranch-protection=standard)
    string(MAKE_C_IDENTIFIER "HALVEX_CXX${flag}" result)
    check_cxx_compiler_flag(${flag} ${result})
    if(${result})
        target_compile_options(plugin_build_settings INTERFACE ${flag})
    endif()
endforeach()
unset(CMAKE_REQUIRED_FLAGS)

target_link_options(plugin_build_settings INTERFACE
    -Wl,--as-needed -Wl,-z,relro -Wl,-z,now
    $<$<BOOL:${HALVEX_STATIC}>:-static-pie>)
foreach(flag -Wl,-z,nodlopen -Wl,-z,noexecstack -Wl,--no-copy-dt-needed-entries)
    string(MAKE_C_IDENTIFIER "HALVEX_LD${flag}" result)
    check_linker_flag(CXX ${flag} ${result})
    if(${result})
        target_link_options(plugin_build_settings INTERFACE ${flag})
    endif()
endforeach()

if(HALVEX_SANITIZE)
    set(sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    target_compile_options(plugin_build_settings INTERFACE ${sanitize_flags})
    target_link_options(plugin_build_settings INTERFACE ${sanitize_flags})
endif()
