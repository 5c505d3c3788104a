# SPDX-License-Identifier: GPL-2.0-or-later
# A level of _FORTIFY_SOURCE that the caller or the compiler already sets is kept as it is.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS "-O2 ${CMAKE_CXX_FLAGS_RELEASE}")
check_cxx_source_compiles("
#ifdef _FORTIFY_SOURCE
#error _FORTIFY_SOURCE is set
#endif
int main() { return 0; }" HALVEX_FORTIFY_LEVEL_UNSET)
unset(CMAKE_REQUIRED_FLAGS)

# Settings shared by every program we ship: warnings, C-library-only linkage and hardening.
add_library(plugin_build_settings INTERFACE)
target_compile_options(plugin_build_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -fno-exceptions -fno-rtti
    -fstack-protector-strong
    $<$<BOOL:${HALVEX_STATIC}>:-fPIE>)
if(HALVEX_FORTIFY_LEVEL_UNSET)
    target_compile_definitions(plugin_build_settings INTERFACE
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
target_link_options(plugin_build_settings INTERFACE
    -Wl,--as-needed -Wl,-z,relro -Wl,-z,now
    $<$<BOOL:${HALVEX_STATIC}>:-static-pie>)

if(HALVEX_SANITIZE)
    set(sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    target_compile_options(plugin_build_settings INTERFACE ${sanitize_flags})
    target_link_options(plugin_build_settings INTERFACE ${sanitize_flags})
endif()
