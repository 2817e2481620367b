# The EQ window's widgets over its models.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
velunto_library(velunto_ui_eq_views
  SOURCES
    EQBandRowView.cpp
    EQCurveView.cpp
    EQView.cpp
    SpectrumView.cpp
  DEPS velunto_ui_eq_models velunto_ui_panel Qt6::Widgets
)
