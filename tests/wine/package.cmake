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
