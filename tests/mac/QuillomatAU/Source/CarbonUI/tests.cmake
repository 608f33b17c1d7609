# The launcher's tests start a stand-in GUI application script.
target_link_libraries(launch_qmgui_test PRIVATE qm_carbonui)
target_compile_definitions(launch_qmgui_test PRIVATE
  FAKE_QMGUI="${CMAKE_CURRENT_LIST_DIR}/fake_qmgui.sh")

# The editor view, opened through its entry point on a fake unit.
target_link_libraries(QuillomatAUView_test PRIVATE qm_auview AUPublic)
target_compile_definitions(QuillomatAUView_test PRIVATE
  FAKE_QMGUI="${CMAKE_CURRENT_LIST_DIR}/fake_qmgui.sh")
