// The main window's class name and control ids. The GUI test driver finds the
// window and its controls by these, so both sides include this one header; it
// stays free of <windows.h>.
#pragma once

namespace TarnwickIds {

constexpr const wchar_t* MainWindowClass = L"TfmMain";

// Ids 1 and 2 are IDOK and IDCANCEL in every dialog manager; ours start above.
constexpr int edFileName = 101;
constexpr int lbFileName = 102;
constexpr int btBrowseFileName = 103;
constexpr int btInfo = 104;
constexpr int btClear = 105;
constexpr int btSave = 106;
constexpr int btLoad = 107;
constexpr int Memo1 = 108;
constexpr int cbAll = 109;
constexpr int btHelp = 110;
constexpr int btExit = 111;
constexpr int btAuto = 112;
constexpr int btCheck = 113;
constexpr int btSalvage = 114;
constexpr int btPack = 115;
constexpr int cbBackup = 116;
constexpr int pbProgress = 117;
constexpr int btStop = 118;
constexpr int btRelink = 119;

}  // namespace TarnwickIds
