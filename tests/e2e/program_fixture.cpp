#include "e2e/program_fixture.hpp"

#include <stdlib.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <utility>

namespace tarlowen::e2e {

namespace fs = std::filesystem;

fs::path makeTemporaryDirectory(std::string_view prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    return pattern;
}

ProgramCopy copyProgramInto(const fs::path& directory) {
    ProgramCopy copy{directory / "program", directory / "program" / "tarlowen", directory / "runtime"};
    fs::create_directory(copy.directory);
    fs::copy_file(TARLOWEN_PROGRAM_PATH, copy.executable);
    fs::create_directory(copy.runtime);
    fs::permissions(copy.runtime, fs::perms::owner_all, fs::perm_options::replace);
    return copy;
}

std::vector<std::string> directoryEntries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<long> processStatusKiB(pid_t pid, std::string_view field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return std::nullopt;
}

std::optional<WindowId> waitForProgramWindow(Desktop& desktop, ChildProcess& program,
                                             std::chrono::milliseconds limit) {
    std::optional<WindowId> window;
    const bool shown = waitFor(
        [&] { return (window = desktop.findWindow(kWindowTitlePattern)).has_value() || !program.running(); },
        limit);
    return shown && program.running() ? window : std::nullopt;
}

bool clickStart(Desktop& desktop, WindowId window, ChildProcess& program, std::chrono::milliseconds limit) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!desktop.click(window, kStartX, kButtonY)) {
            return false;
        }
        if (waitFor([&] { return desktop.clipboardText() == "" || !program.running(); }, limit / 4) &&
            program.running()) {
            return true;
        }
    }
    return false;
}

ProgramOnXvfbTest::ProgramOnXvfbTest(std::vector<std::string> extraVariables)
    : m_extraVariables(std::move(extraVariables)) {}

void ProgramOnXvfbTest::SetUpTestSuite() {
    s_suiteDirectory = makeTemporaryDirectory("tarlowen-e2e-");
    s_display = VirtualDisplay::start(s_suiteDirectory / "xvfb.log", kDeadline, s_displayError);
}

void ProgramOnXvfbTest::TearDownTestSuite() {
    s_display.reset();
    std::error_code ignored;
    fs::remove_all(s_suiteDirectory, ignored);
}

void ProgramOnXvfbTest::SetUp() {
    ASSERT_NE(s_display, nullptr) << s_displayError;
    m_desktop.emplace(*s_display);
    m_directory = makeTemporaryDirectory("tarlowen-e2e-");
    ASSERT_FALSE(m_directory.empty()) << "cannot make a temporary directory";
    const ProgramCopy copy = copyProgramInto(m_directory);
    m_programDirectory = copy.directory;

    std::vector<std::string> variables{
        "DISPLAY=" + s_display->name(),
        "QT_QPA_PLATFORM=xcb",
        "XDG_RUNTIME_DIR=" + copy.runtime.string(),
        // Leak checking is off in the program: under X11, Qt loads libdbus, which leaves a buffer
        // allocated at exit, and the report would fail every run for a library's sake. Our own code
        // is leak-checked by the unit tests; every other sanitizer check stays on here, and a
        // finding makes the program exit with a non-zero status.
        "ASAN_OPTIONS=detect_leaks=0",
    };
    variables.insert(variables.end(), m_extraVariables.begin(), m_extraVariables.end());
    m_program = std::make_unique<ChildProcess>(std::vector<std::string>{copy.executable.string()},
                                               environmentWith(variables), m_directory / "tarlowen.log");

    std::optional<WindowId> window;
    ASSERT_TRUE(waitWhileRunning([&] {
        return (window = m_desktop->findWindow(kWindowTitlePattern)).has_value();
    })) << "the window never appeared";
    m_window = *window;
}

void ProgramOnXvfbTest::TearDown() {
    if (m_program && m_program->running() && m_window == 0) {
        m_program->stop(SIGKILL, kDeadline);  // it never showed its window; that failure is reported
    } else if (m_program && m_program->running()) {
        EXPECT_TRUE(m_desktop->closeWindow(m_window));
        const std::optional<int> status = m_program->waitFor(kDeadline);
        EXPECT_TRUE(status.has_value()) << "closing the window did not end the program";
        EXPECT_EQ(status.value_or(-1), 0) << "the program did not exit cleanly";
    } else if (m_program) {
        ADD_FAILURE() << "the program ended on its own with status " << m_program->exitStatus().value_or(-1);
    }
    m_program.reset();
    if (HasFailure()) {
        std::cout << "program log:\n"
                  << readWholeFile(m_directory / "tarlowen.log").value_or("(none)") << "\nfiles kept in "
                  << m_directory << '\n';
    } else if (!m_directory.empty()) {
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }
}

}  // namespace tarlowen::e2e
