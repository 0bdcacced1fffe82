#include "settingsfile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#else
#include <QStandardPaths>
#endif

QString settingsFilePath()
{
#ifdef Q_OS_WIN
    wchar_t path[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
        return QString();
    PathAppendW(path, L"tarvel");
    PathAppendW(path, L"zunStream.ini");
    return QString::fromWCharArray(path);
#else
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (folder.isEmpty())
        return QString();
    return folder + QStringLiteral("/tarvel/zunStream.ini");
#endif
}
