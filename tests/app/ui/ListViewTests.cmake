find_package(Qt6 REQUIRED COMPONENTS Test)
velunto_test(velunto_ui_list_view_tests
  SOURCES ListViewTests.cpp
  DEPS velunto_ui_list_views velunto_sim velunto_sim_effects Qt6::Test)
