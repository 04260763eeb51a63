# Kavset.exe as Windows sees it: its image (PE32+, GUI subsystem, manifest, version, imports), and its exit
# codes under Wine in one fresh prefix per test run (set up first, removed last), each run time-limited.
set(KAVSET_EXE ${CMAKE_SOURCE_DIR}/dist/Kavset.exe)
set(KAVSET_WINE ${CMAKE_CURRENT_SOURCE_DIR}/kavset_wine.sh)
set(KAVSET_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/prefix-kavset)

add_test(NAME kavset_image COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/kavset_image.sh ${KAVSET_EXE})
set_tests_properties(kavset_image PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 60)

add_test(NAME kavset_wine_prefix COMMAND ${KAVSET_WINE} setup ${KAVSET_PREFIX} ${KAVSET_EXE})
set_tests_properties(kavset_wine_prefix PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300
                                                   FIXTURES_SETUP kavset_wine)
add_test(NAME kavset_wine_cleanup COMMAND ${KAVSET_WINE} cleanup ${KAVSET_PREFIX})
set_tests_properties(kavset_wine_cleanup PROPERTIES LABELS wine TIMEOUT 60 FIXTURES_CLEANUP kavset_wine)

# One run of Kavset.exe with its arguments and the exit code it must end with.
function(kavset_wine_case name code)
    add_test(NAME kavset_wine_${name} COMMAND ${KAVSET_WINE} run ${KAVSET_PREFIX} ${KAVSET_EXE} ${code} ${ARGN})
    set_tests_properties(kavset_wine_${name} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 150
                                                        FIXTURES_REQUIRED kavset_wine)
endfunction()

kavset_wine_case(no_arguments 1)
kavset_wine_case(reg_without_id 10 /Reg)
kavset_wine_case(reg_dash_capitals 10 -REG)
kavset_wine_case(reg_lower_case 10 /reg)
kavset_wine_case(unreg_unknown_device 20 /Unreg "USB\\VID_DEAD&PID_BEEF\\NOSUCHDEVICE")
kavset_wine_case(unknown_switch_after_command 1 /Reg "USB\\VID_3A7E&PID_1201\\X" /Enable)
