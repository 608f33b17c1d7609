# The host's own pieces, and the host run end to end against the test effect.
target_link_libraries(plist_test PRIVATE qmhost_core)
target_link_libraries(midi_file_test PRIVATE qmhost_core)
target_link_libraries(qmhost_test PRIVATE qmhost_core PkgConfig::SNDFILE)
target_compile_definitions(qmhost_test PRIVATE QMHOST_PATH="$<TARGET_FILE:qmhost>"
                           QM_GAIN_EFFECT_PATH="$<TARGET_FILE:qm_gain_effect>")
add_dependencies(qmhost_test qmhost qm_gain_effect)
