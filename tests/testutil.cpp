#include "testutil.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The folders testTempDir made, removed when the test program ends.
std::vector<std::string> madeFolders;
pid_t folderOwner = 0;      // the process that made them: a forked child leaves them

void removeMadeFolders()
{
    if (getpid() != folderOwner)
        return;
    for (const std::string& folder : madeFolders) {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
        if (error) {
            // A test may have taken a permission away on purpose.
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, error);
            for (auto it = std::filesystem::recursive_directory_iterator(
                     folder, std::filesystem::directory_options::skip_permission_denied, error);
                 !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
                if (it->is_directory(error))
                    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                                 std::filesystem::perm_options::add, error);
            std::filesystem::remove_all(folder, error);
        }
    }
}

}  // namespace

std::string testTempDir()
{
    char pattern[] = "/tmp/moxel-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made)
        return "/tmp";
    if (madeFolders.empty()) {
        folderOwner = getpid();
        atexit(removeMadeFolders);
    }
    madeFolders.push_back(made);
    return made;
}

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeTextFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string sourceDir() { return MOXEL_SOURCE_DIR; }

MoxelRun runMoxel(const std::string& programText, const std::string& name,
                  const std::string& folder, const std::vector<std::string>& extraArgs)
{
    MoxelRun run;
    run.folder = folder.empty() ? testTempDir() : folder;
    const std::string program = run.folder + "/" + name + ".mxl";
    writeTextFile(program, programText);
    std::string command = "cd '" + run.folder + "' && XDG_CONFIG_HOME='" + run.folder +
                          "/config' '" MOXEL_BINARY "' -run '" + program + "'";
    for (const std::string& arg : extraArgs)
        command += " '" + arg + "'";
    command += " >'" + run.folder + "/stdout.txt' 2>'" + run.folder + "/stderr.txt' </dev/null";
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readTextFile(run.folder + "/stdout.txt");
    run.err = readTextFile(run.folder + "/stderr.txt");
    run.listing = readTextFile(run.folder + "/" + name + ".lst");
    return run;
}

std::map<std::string, std::vector<double>> loadReferenceTable(const std::string& path)
{
    std::map<std::string, std::vector<double>> table;
    std::istringstream in(readTextFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string name, item;
        fields >> name >> item;
        std::vector<double> values;
        for (double v; fields >> v;)
            values.push_back(v);
        table[name + " " + item] = values;
    }
    return table;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> splitWords(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}
