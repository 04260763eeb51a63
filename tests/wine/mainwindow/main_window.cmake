# Kavelor's main window and tray menu under Wine and Xvfb (label wine): the win64 build's
# kavelor_main_window.exe in a fresh prefix of its own. The screenshots, kavelor-main-window.png and
# kavelor-tray-menu.png, and the log go to the build tree (tests/wine/main-window-out).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
    add_test(NAME kavelor_wine_main_window
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/main_window_wine_test.py
                     --source ${CMAKE_SOURCE_DIR}
                     --exe ${CMAKE_SOURCE_DIR}/build/win64/tests/wine/mainwindow/kavelor_main_window.exe
                     --prefix ${CMAKE_CURRENT_BINARY_DIR}/main-window-prefix
                     --out ${CMAKE_CURRENT_BINARY_DIR}/main-window-out)
    set_tests_properties(kavelor_wine_main_window PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 300
                                                             RUN_SERIAL TRUE)
endif()
