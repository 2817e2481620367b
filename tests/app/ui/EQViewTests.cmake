find_package(Qt6 REQUIRED COMPONENTS Test)
velunto_test(velunto_ui_eq_view_tests
  SOURCES EQViewTests.cpp
  DEPS velunto_ui_eq_views velunto_sim Qt6::Test)
