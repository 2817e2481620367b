velunto_library(velunto_ui_panel_models
  SOURCES
    MenuPanelModel.cpp
  DEPS velunto_ui_shell velunto_ui velunto_appkit Qt6::Core
)

# The panel's widgets over its model.
velunto_library(velunto_ui_panel
  SOURCES
    Card.cpp
    CardDivider.cpp
    FooterButton.cpp
    MenuPanel.cpp
    MiniSpectrum.cpp
    Notice.cpp
    OptionButton.cpp
    PanelStyle.cpp
    PickerRow.cpp
    PowerButton.cpp
    RowIcon.cpp
    SpectrumClientView.cpp
    Switch.cpp
    SymbolButton.cpp
    ToggleRow.cpp
    ToolButton.cpp
  DEPS velunto_ui_panel_models velunto_ui_symbols Qt6::Widgets
)

# The application: menu-bar item, panel and windows.
velunto_library(velunto_ui_app
  SOURCES
    NoPluginUIHint.cpp
    PluginEditorView.cpp
    PluginWindowController.cpp
    VeluntoApp.cpp
  DEPS velunto_ui_panel velunto_ui_shell velunto_ui_eq_views velunto_ui_list_views
)
