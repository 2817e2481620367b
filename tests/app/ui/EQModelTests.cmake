velunto_test(velunto_ui_eq_model_tests
  SOURCES EQModelTests.cpp EQCurveModelTests.cpp
  DEPS velunto_ui_eq_models velunto_sim)
