# The icons of the symbol names used by the panel and the windows, drawn with QPainter.
find_package(Qt6 REQUIRED COMPONENTS Gui Widgets)
velunto_library(velunto_ui_symbols
  SOURCES SymbolImage.cpp
  DEPS Qt6::Gui Qt6::Widgets
)
