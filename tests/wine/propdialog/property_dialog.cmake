# Kavelor's property dialog under Wine and Xvfb (label wine): the win64 build's kavelor_property_dialog.exe
# for a stick described in a fresh prefix of its own. The screenshot, kavelor-property-dialog.png, and the
# logs go to the build tree (tests/wine/property-dialog-out).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
    add_test(NAME kavelor_wine_property_dialog
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/property_dialog_wine_test.py
                     --source ${CMAKE_SOURCE_DIR}
                     --exe ${CMAKE_SOURCE_DIR}/build/win64/tests/wine/propdialog/kavelor_property_dialog.exe
                     --prefix ${CMAKE_CURRENT_BINARY_DIR}/property-dialog-prefix
                     --out ${CMAKE_CURRENT_BINARY_DIR}/property-dialog-out)
    set_tests_properties(kavelor_wine_property_dialog PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300
                                                                 RUN_SERIAL TRUE)
endif()
