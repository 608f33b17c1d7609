# The platform stand-ins' own tests. The Audio Unit test runs the test effect
# in-process (so the allocation counter sees it); the same effect is also
# built as a plug-in for the host's tests.
target_link_libraries(corefoundation_test PRIVATE CoreFoundation)

# The effect answers to the parameter and property numbers the looper's editor
# view asks for (QuillomatAUShared.h).
set(QM_GAIN_EFFECT_INCLUDES ${PROJECT_SOURCE_DIR}/mac/QuillomatAU/Source)

target_sources(audiounit_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/gain_effect.cc)
target_include_directories(audiounit_test PRIVATE ${QM_GAIN_EFFECT_INCLUDES})
target_link_libraries(audiounit_test PRIVATE AUPublic)

qm_add_audio_unit(qm_gain_effect ENTRY TestGainEffectEntry SOURCES ${CMAKE_CURRENT_LIST_DIR}/gain_effect.cc)
target_include_directories(qm_gain_effect PRIVATE ${QM_GAIN_EFFECT_INCLUDES})

# The same effect with the editor view beside it, as the plug-in is built:
# both entry points exported.
qm_add_audio_unit(qm_gain_effect_view ENTRY TestGainEffectEntry QuillomatAUViewEntry
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/gain_effect.cc)
target_include_directories(qm_gain_effect_view PRIVATE ${QM_GAIN_EFFECT_INCLUDES})
target_link_libraries(qm_gain_effect_view PRIVATE qm_auview)
