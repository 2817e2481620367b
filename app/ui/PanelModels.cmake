velunto_library(velunto_ui_panel_models
  SOURCES
    MenuPanelModel.cpp
  DEPS velunto_ui_shell velunto_ui velunto_appkit Qt6::Core
)
