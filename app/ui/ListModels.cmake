# The priority list editor's and the latency meter window's view models.
velunto_library(velunto_ui_list_models
  SOURCES
    PriorityListModel.cpp
    LatencyMeterModel.cpp
  DEPS velunto_audio Qt6::Core
)
