velunto_test(velunto_ui_symbol_tests
  SOURCES SymbolImageTests.cpp
  DEPS velunto_ui_symbols)
