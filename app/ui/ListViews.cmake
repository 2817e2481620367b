# The priority list editor's and the latency meter window's widgets over their models.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
velunto_library(velunto_ui_list_views
  SOURCES
    LatencyMeterView.cpp
    PriorityListView.cpp
    StatusLineView.cpp
  DEPS velunto_ui_list_models velunto_ui_panel Qt6::Widgets
)
