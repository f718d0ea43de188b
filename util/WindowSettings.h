#pragma once
// How the window was left, kept between starts in a file of the program's own: the search mode, the
// splitter and the window's place and size. Never in vornik.ini, whose format Windows clients share
// and which the login dialog writes whole.
#include <QSettings>

#include <memory>

// $XDG_CONFIG_HOME/vornik/window.conf (or ~/.config/vornik/window.conf).
QString windowSettingsPath();
std::unique_ptr<QSettings> windowSettings();

// Writes the settings to disk now: empty, or why they could not be written.
QString saveWindowSettings(QSettings& settings);
