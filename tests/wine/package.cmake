# The archive a Windows user installs from (label wine, like the other checks of the Windows binaries):
# unpacked and checked file by file, the programs by their PE facts, the guide by its rendered pages. The
# install, driver load and uninstall under Wine run in one fresh prefix of their own, one step per test.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT KAV_SANITIZE)
    add_test(NAME package_archive
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/package_archive_test.py
                     --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip --source ${CMAKE_SOURCE_DIR}
                     --demo ${CMAKE_BINARY_DIR}/lab/kavlab-demo.txt)
    set_tests_properties(package_archive PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()

if(Python3_Interpreter_FOUND AND NOT KAV_SANITIZE)
    set(package_wine_script ${CMAKE_CURRENT_SOURCE_DIR}/package_wine_test.py)
    set(package_wine_args
        --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip
        --prefix ${CMAKE_CURRENT_BINARY_DIR}/package-prefix
        --exe32 ${CMAKE_SOURCE_DIR}/build/win32/trayapp/Kavelor.exe
        --exe64 ${CMAKE_SOURCE_DIR}/build/win64/trayapp/Kavelor.exe
        --out ${CMAKE_CURRENT_BINARY_DIR}/kavelor-out)
    add_test(NAME package_wine_prefix COMMAND ${Python3_EXECUTABLE} ${package_wine_script} prefix ${package_wine_args})
    set_tests_properties(package_wine_prefix PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE
                         FIXTURES_SETUP package_wine)
    add_test(NAME package_wine_cleanup COMMAND ${Python3_EXECUTABLE} ${package_wine_script} cleanup ${package_wine_args})
    set_tests_properties(package_wine_cleanup PROPERTIES LABELS wine TIMEOUT 120 FIXTURES_CLEANUP package_wine)
    # The steps in the order a user takes them, each after the one before.
    set(previous package_wine_prefix)
    foreach(step refused install driver kavelor reinstall keep uninstall)
        add_test(NAME package_wine_${step} COMMAND ${Python3_EXECUTABLE} ${package_wine_script} ${step} ${package_wine_args})
        set_tests_properties(package_wine_${step} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 240 RUN_SERIAL TRUE
                             FIXTURES_REQUIRED package_wine DEPENDS ${previous})
        set(previous package_wine_${step})
    endforeach()
endif()
