// Settings store on QSettings. Each call opens the file afresh, so that a change of
// XDG_CONFIG_HOME (the tests point it at a temporary folder) takes effect at once and
// batch mode and the window always see what the other wrote last.
#include "plot/settings.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <sys/stat.h>

namespace {

// The string a QSettings key is made of: the name as it is, in [General].
QString keyOf(const char* name)
{
    return QString::fromUtf8(name);
}

// Cuts text to at most SETTINGS_STRING_MAX bytes without splitting a UTF-8 sequence.
std::string cutToLimit(std::string text)
{
    if (text.size() <= static_cast<size_t>(SETTINGS_STRING_MAX))
        return text;
    size_t length = SETTINGS_STRING_MAX;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        length--;
    text.resize(length);
    return text;
}

// The settings file's name, or empty when there is none to use: a pipe or a device in
// its place would hold every read, and is left alone.
std::string storePath()
{
    const std::string path = settingsFilePath();
    struct stat info;
    if (path.empty() || (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)))
        return "";
    return path;
}

}  // namespace

int settingsReadInt(const char* name)
{
    const std::string path = storePath();
    if (path.empty())
        return -1;
    QSettings store(QString::fromStdString(path), QSettings::NativeFormat);
    const QVariant value = store.value(keyOf(name));
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok && store.status() == QSettings::NoError ? number : -1;
}

void settingsWriteInt(const char* name, int value)
{
    const std::string path = storePath();
    if (path.empty())
        return;
    QSettings store(QString::fromStdString(path), QSettings::NativeFormat);
    store.setValue(keyOf(name), value);
}

std::string settingsReadString(const char* name)
{
    const std::string path = storePath();
    if (path.empty())
        return "";
    QSettings store(QString::fromStdString(path), QSettings::NativeFormat);
    const QVariant value = store.value(keyOf(name));
    if (!value.isValid() || store.status() != QSettings::NoError)
        return "";
    return cutToLimit(value.toString().toStdString());
}

void settingsWriteString(const char* name, const std::string& text)
{
    const std::string path = storePath();
    if (path.empty())
        return;
    QSettings store(QString::fromStdString(path), QSettings::NativeFormat);
    store.setValue(keyOf(name), QString::fromStdString(text));
}

std::string settingsJoinProgramFolder(const std::string& name)
{
    const std::string folder = settingsReadString("Path");
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}
