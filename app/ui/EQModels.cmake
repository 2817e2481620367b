# The EQ window's view models: header, band table and curve area, without a display.
velunto_library(velunto_ui_eq_models
  SOURCES
    EQScale.cpp
    EQEditorModel.cpp
    EQCurveModel.cpp
  DEPS velunto_audio Qt6::Core
)
