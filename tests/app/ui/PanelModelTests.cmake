velunto_test(velunto_ui_panel_model_tests
  SOURCES MenuPanelModelTests.cpp
  DEPS velunto_ui_panel_models velunto_sim velunto_sim_cameras)

find_package(Qt6 REQUIRED COMPONENTS Test)
velunto_test(velunto_ui_panel_tests
  SOURCES MenuPanelTests.cpp
  DEPS velunto_ui_app velunto_sim velunto_sim_cameras Qt6::Test)
