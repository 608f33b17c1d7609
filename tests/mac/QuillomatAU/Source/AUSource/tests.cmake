# The effect, built into its tests from its sources and opened through its
# entry point in-process (so the allocation counter sees its render path).
# They bind the plug-in's OSC ports (10051..10070), so they take turns with
# the host's end-to-end tests.
foreach(name QuillomatAU_test QuillomatAU_mt_test)
  target_sources(${name} PRIVATE ${QM_AU_SOURCES})
  target_include_directories(${name} PRIVATE ${QM_AU_INCLUDE_DIRS} ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(${name} PRIVATE AUPublic AudioUnit)
  set_property(TARGET ${name} PROPERTY QM_RESOURCE_LOCK qm_plugin_osc_ports)
endforeach()
