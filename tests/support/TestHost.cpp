#include "tests/support/TestHost.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"
#include "platform/Clock.h"

TestHost::TestHost(bool demo) {
    char cwd[PATH_MAX];
    m_previousDir = getcwd(cwd, sizeof cwd) ? cwd : "/";
    char pattern[] = "/tmp/vkt-test-XXXXXX";
    m_dir = mkdtemp(pattern);
    std::string error;
    if (!HostDirectory::Init(m_dir, demo, {}, error)) ADD_FAILURE() << error;
    if (!HostDirectory::Enter(m_dir, error)) ADD_FAILURE() << error;
    if (!VktHost::LoadHostCatalogue()) ADD_FAILURE() << "cannot load the host catalogue";
}

TestHost::~TestHost() {
    VktHost::CloseHost();
    ProcessClock::Reset();
    if (chdir(m_previousDir.c_str()) != 0) return;
    if (!std::getenv("VKT_KEEP_TEST_DIRS")) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
