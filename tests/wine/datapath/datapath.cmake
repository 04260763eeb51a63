# The shipped Kavfiltr.sys moving data under Wine's kernel, with the stick driver and runner of the win64
# build (label wine; skipped when Wine, the archive or those programs are missing).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
    set(datapath_win64 ${CMAKE_SOURCE_DIR}/build/win64/tests/wine/datapath)
    add_test(NAME kavfiltr_wine_datapath
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/kavfiltr_wine_datapath.py
                     --archive ${CMAKE_SOURCE_DIR}/dist/Kavelor-1.0.1.zip
                     --stick ${datapath_win64}/kavdatapath_stick.sys
                     --runner ${datapath_win64}/kavdatapath_runner.exe
                     --prefix ${CMAKE_CURRENT_BINARY_DIR}/datapath-prefix)
    set_tests_properties(kavfiltr_wine_datapath PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 420
                                                           RUN_SERIAL TRUE)
endif()
