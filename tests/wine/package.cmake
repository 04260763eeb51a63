# What a Windows user installs from (label wine, like the other checks of the Windows binaries): the archive,
# unpacked and checked file by file, the programs by their PE facts, the guide by its rendered pages; the
# signatures of every shipped binary; and the archive's scripts and the setup program under Wine, each in
# one fresh prefix of its own, one step per test, in the order a user takes them.
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND OR KAV_SANITIZE)
    return()
endif()

add_test(NAME package_archive
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/package_archive_test.py
                 --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip --source ${CMAKE_SOURCE_DIR}
                 --demo ${CMAKE_BINARY_DIR}/lab/kavlab-demo.txt)
set_tests_properties(package_archive PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300)

add_test(NAME package_signing
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/package_signing_test.py
                 --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip
                 --setup ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1-setup.exe
                 --ca ${CMAKE_SOURCE_DIR}/build/signing/signing-ca.pem)
set_tests_properties(package_signing PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 120)

# NAME_prefix prepares the prefix, NAME_<step> runs each step after the one before, NAME_cleanup removes it.
function(kav_wine_steps name script)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "STEPS;ARGS")
    add_test(NAME ${name}_prefix COMMAND ${Python3_EXECUTABLE} ${script} prefix ${arg_ARGS})
    set_tests_properties(${name}_prefix PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE
                         FIXTURES_SETUP ${name})
    add_test(NAME ${name}_cleanup COMMAND ${Python3_EXECUTABLE} ${script} cleanup ${arg_ARGS})
    set_tests_properties(${name}_cleanup PROPERTIES LABELS wine TIMEOUT 120 FIXTURES_CLEANUP ${name})
    set(previous ${name}_prefix)
    foreach(step ${arg_STEPS})
        add_test(NAME ${name}_${step} COMMAND ${Python3_EXECUTABLE} ${script} ${step} ${arg_ARGS})
        set_tests_properties(${name}_${step} PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 240 RUN_SERIAL TRUE
                             FIXTURES_REQUIRED ${name} DEPENDS ${previous})
        set(previous ${name}_${step})
    endforeach()
endfunction()

set(kav_kavelor_builds
    --exe32 ${CMAKE_SOURCE_DIR}/build/win32/trayapp/Kavelor.exe
    --exe64 ${CMAKE_SOURCE_DIR}/build/win64/trayapp/Kavelor.exe
    --out ${CMAKE_CURRENT_BINARY_DIR}/kavelor-out)
kav_wine_steps(package_wine ${CMAKE_CURRENT_SOURCE_DIR}/package_wine_test.py
    STEPS refused install driver kavelor reinstall running keep uninstall
    ARGS --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip
         --prefix ${CMAKE_CURRENT_BINARY_DIR}/package-prefix ${kav_kavelor_builds})
kav_wine_steps(setup_wine ${CMAKE_CURRENT_SOURCE_DIR}/setup_wine_test.py
    STEPS wizard refused install kavelor reinstall again keep uninstall
    ARGS --setup ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1-setup.exe
         --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip --source ${CMAKE_SOURCE_DIR}
         --ca ${CMAKE_SOURCE_DIR}/build/signing/signing-ca.pem
         --prefix ${CMAKE_CURRENT_BINARY_DIR}/setup-prefix ${kav_kavelor_builds})
