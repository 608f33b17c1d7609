# The launcher's tests start a stand-in GUI application script.
target_link_libraries(launch_qmgui_test PRIVATE qm_carbonui)
target_compile_definitions(launch_qmgui_test PRIVATE
  FAKE_QMGUI="${CMAKE_CURRENT_LIST_DIR}/fake_qmgui.sh")
