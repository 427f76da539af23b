# The banners show the version as a float printed with %g: at most six significant digits and no
# trailing zeros. A version that %g cannot print back unchanged (1.0 shows as 1, 0.10 and 0.1.1 as
# 0.1) would differ from the one in project(), the manual and the package, so configure stops.
# printf(1) prints a double, which shows six digits of a float alike.
function(check_version version major minor)
    execute_process(COMMAND env LC_ALL=C printf %g "${major}.${minor}"
                    OUTPUT_VARIABLE shown RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR NOT shown STREQUAL version)
        message(FATAL_ERROR "The version ${version} would show as '${shown}' in the banners, "
                "which print it as a number: give project() a version of two numbers that "
                "printf %g shows unchanged, such as 0.2 or 1.5.")
    endif()
endfunction()

# cmake -DVERSION=1.0 -P cmake/version_check.cmake checks one version alone.
if(CMAKE_SCRIPT_MODE_FILE)
    string(REGEX MATCH "^([0-9]*)\\.?([0-9]*)" prefix "${VERSION}")
    check_version("${VERSION}" "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
endif()
