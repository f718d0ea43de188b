#pragma once
// The design's numbered choices: the indices of its menu entries and panel buttons, which its handlers
// (Menu_Click, CmdControl_Click, CmdTest_Click) receive as numbers. The values are the design's.
enum class MenuEntry {
    AddTxt = 0,
    DeleteTxt = 1,
    ModiTxt = 2,
    Separator = 3,
    ExportTitles = 4,
    ExportAll = 5,
    HistorySeparator = 6,
    History = 7
};
enum class ControlButton { DriverDownload = 0, LogInAgain = 1, Trash = 2, Close = 99 };
// The test panel's commands are chosen by caption; the numbers name its buttons.
enum class TestButton { Connect = 0, ListTable = 1, ListView = 2, Searcher = 3, AddTxt = 4, Close = 99 };

template <class Choice> constexpr int index(Choice choice) {
    return static_cast<int>(choice);
}
