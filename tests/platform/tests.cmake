# The platform stand-ins' own tests. The Audio Unit test runs the test effect
# in-process (so the allocation counter sees it); the same effect is also
# built as a plug-in for the host's tests.
target_link_libraries(corefoundation_test PRIVATE CoreFoundation)

target_sources(audiounit_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/gain_effect.cc)
target_link_libraries(audiounit_test PRIVATE AUPublic)

qm_add_audio_unit(qm_gain_effect ENTRY TestGainEffectEntry SOURCES ${CMAKE_CURRENT_LIST_DIR}/gain_effect.cc)
