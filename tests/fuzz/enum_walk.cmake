# The enumeration walk's fuzz target: a simulated PC that the input builds and whose host controllers, hubs
# and device nodes answer from it (the input format is described at the top of enum_walk_fuzz.cpp). The
# walk runs against winsim's machine with every misuse check armed.
kav_add_fuzz_target(enum_walk_fuzz
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/enum_walk_fuzz.cpp
    LIBS enumlib winsim_machine)
