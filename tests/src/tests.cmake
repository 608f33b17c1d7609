# The resolver's test loads and unloads the plug-in as a host does, through
# the host's calls; the plug-in binds its OSC ports (10051..10070).
target_link_libraries(control_osc_names_mt_test PRIVATE AudioUnit ${CMAKE_DL_LIBS})
target_compile_definitions(control_osc_names_mt_test PRIVATE QM_PLUGIN_PATH="$<TARGET_FILE:QuillomatAU>")
add_dependencies(control_osc_names_mt_test QuillomatAU)
set_property(TARGET control_osc_names_mt_test PROPERTY QM_RESOURCE_LOCK qm_plugin_osc_ports)
