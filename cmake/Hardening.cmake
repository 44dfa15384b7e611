# The hardening Debian builds its packages with (dpkg-buildflags with hardening=+all), for every binary of an
# ordinary build. Sanitizer and fuzz builds go without: AddressSanitizer replaces the fortified functions.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

if(NOT KOVA_SANITIZE)
    target_compile_options(kova_common_cfg INTERFACE -fstack-protector-strong -fstack-clash-protection -fcf-protection
        # Fortified functions need the optimizer: a Debug build would only warn.
        $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
    target_link_options(kova_common_cfg INTERFACE -Wl,-z,relro -Wl,-z,now)
endif()
