# The host's own pieces, and the host run end to end against the test effect.
target_link_libraries(plist_test PRIVATE qmhost_core)
target_link_libraries(midi_file_test PRIVATE qmhost_core)
target_link_libraries(qmhost_test PRIVATE qmhost_core PkgConfig::SNDFILE)
target_compile_definitions(qmhost_test PRIVATE QMHOST_PATH="$<TARGET_FILE:qmhost>"
                           QM_GAIN_EFFECT_PATH="$<TARGET_FILE:qm_gain_effect>")
add_dependencies(qmhost_test qmhost qm_gain_effect)
# The editor option, against the test effect built with the editor view.
target_compile_definitions(qmhost_test PRIVATE QM_GAIN_EFFECT_VIEW_PATH="$<TARGET_FILE:qm_gain_effect_view>"
                           FAKE_QMGUI="${CMAKE_CURRENT_LIST_DIR}/../mac/QuillomatAU/Source/CarbonUI/fake_qmgui.sh")
add_dependencies(qmhost_test qm_gain_effect_view)

# The host with the looper plug-in from its default place, driven over OSC.
target_link_libraries(qmhost_plugin_test PRIVATE qmhost_core PkgConfig::SNDFILE)
target_compile_definitions(qmhost_plugin_test PRIVATE QMHOST_PATH="$<TARGET_FILE:qmhost>"
                           QM_PLUGIN_PATH="$<TARGET_FILE:QuillomatAU>"
                           QM_CARBON_LIB="$<TARGET_FILE:Carbon>" QM_FOUNDATION_LIB="$<TARGET_FILE:Foundation>")
add_dependencies(qmhost_plugin_test qmhost QuillomatAU)
set_property(TARGET qmhost_plugin_test PROPERTY QM_RESOURCE_LOCK qm_plugin_osc_ports)

# The host with the looper plug-in, killed in the middle of its saves.
target_link_libraries(qmhost_kill_test PRIVATE PkgConfig::SNDFILE)
target_compile_definitions(qmhost_kill_test PRIVATE QMHOST_PATH="$<TARGET_FILE:qmhost>")
add_dependencies(qmhost_kill_test qmhost QuillomatAU)
set_property(TARGET qmhost_kill_test PROPERTY QM_RESOURCE_LOCK qm_plugin_osc_ports)

# The host run where host names can hang: under limits of its own, unloading
# the plug-in, and with allocations that fail.
foreach(t qmhost_limits_test qmhost_reload_mt_test qmhost_alloc_test)
  target_link_libraries(${t} PRIVATE PkgConfig::SNDFILE)
  target_compile_definitions(${t} PRIVATE QMHOST_PATH="$<TARGET_FILE:qmhost>")
  add_dependencies(${t} qmhost QuillomatAU)
  set_property(TARGET ${t} PROPERTY QM_RESOURCE_LOCK qm_plugin_osc_ports)
endforeach()
target_compile_definitions(qmhost_reload_mt_test PRIVATE QM_TSAN_SUPPRESSIONS="${CMAKE_CURRENT_LIST_DIR}/../tsan.supp")
# The sanitizers keep the allocator to themselves: there the test skips.
if(QM_SANITIZE STREQUAL "")
  add_library(failing_alloc SHARED ${CMAKE_CURRENT_LIST_DIR}/../support/failing_alloc.c)
  set_target_properties(failing_alloc PROPERTIES C_VISIBILITY_PRESET default)
  target_compile_definitions(qmhost_alloc_test PRIVATE QM_FAILING_ALLOC="$<TARGET_FILE:failing_alloc>")
  add_dependencies(qmhost_alloc_test failing_alloc)
endif()
