#pragma once

#include <QLabel>

namespace velunto {

// What the plug-in window shows for a plug-in without an editor of its own.
class NoPluginUIHint : public QLabel {
public:
    static constexpr const char* kText = "Dieses Plugin bietet keine eigene Oberfläche.";
    explicit NoPluginUIHint(QWidget* parent = nullptr);
};

}  // namespace velunto
