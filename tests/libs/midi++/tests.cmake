# The MIDI port library's tests link the library itself.
file(GLOB QM_MIDIPP_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cc)
foreach(test_src ${QM_MIDIPP_TESTS})
  get_filename_component(name ${test_src} NAME_WE)
  target_link_libraries(${name} PRIVATE midipp)
endforeach()
