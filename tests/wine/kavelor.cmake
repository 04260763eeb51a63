# Kavelor.exe under Wine and Xvfb (label wine): the image check, then the start-up paths on a fresh pair of
# prefixes prepared once per run. The cases share the prefixes and run one at a time. Screenshots and the
# Wine logs go to the build tree (tests/wine/kavelor-out). The sanitizer builds have nothing to add here
# (the Windows binaries are the same), so only the plain host build runs them.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT KAV_SANITIZE)
    set(kavelor_wine_script ${CMAKE_CURRENT_SOURCE_DIR}/kavelor_wine_test.py)
    set(kavelor_wine_args
        --source ${CMAKE_SOURCE_DIR}
        --exe32 ${CMAKE_SOURCE_DIR}/build/win32/trayapp/Kavelor.exe
        --exe64 ${CMAKE_SOURCE_DIR}/build/win64/trayapp/Kavelor.exe
        --work ${CMAKE_CURRENT_BINARY_DIR}/kavelor-prefixes
        --out ${CMAKE_CURRENT_BINARY_DIR}/kavelor-out)
    add_test(NAME kavelor_wine_image COMMAND ${Python3_EXECUTABLE} ${kavelor_wine_script} image ${kavelor_wine_args})
    add_test(NAME kavelor_wine_prefix
             COMMAND ${Python3_EXECUTABLE} ${kavelor_wine_script} prefix ${kavelor_wine_args})
    set_tests_properties(kavelor_wine_image kavelor_wine_prefix PROPERTIES LABELS wine SKIP_RETURN_CODE 77
                         TIMEOUT 300 RUN_SERIAL TRUE)
    set_tests_properties(kavelor_wine_prefix PROPERTIES FIXTURES_SETUP kavelor_wine_prefixes)
    foreach(case missing-kavset missing-service running hidden window dpi)
        string(REPLACE "-" "_" name ${case})
        add_test(NAME kavelor_wine_${name}
                 COMMAND ${Python3_EXECUTABLE} ${kavelor_wine_script} ${case} ${kavelor_wine_args})
        set_tests_properties(kavelor_wine_${name} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 180
                             RUN_SERIAL TRUE FIXTURES_REQUIRED kavelor_wine_prefixes)
    endforeach()
endif()
