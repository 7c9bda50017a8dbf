// vkt_register_data_sources DRIVER "DSN=A;KEY=value;…" …: registers each data source in
// turn as the plug-in does (Odbc::RegisterSystemDataSource), in a process of its own,
// so that a crash test can end it at a kill point (VKT_KILL_POINT). The ODBC folder is
// the environment's ODBCSYSINI. Exit status 0 when every registration succeeded, 1 when
// one failed, 2 for a wrong command line.
#include <sstream>
#include <string>
#include <vector>

#include "platform/OdbcHandles.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    bool registered = true;
    for (int i = 2; i < argc; ++i) {
        std::vector<std::string> attributes;
        std::istringstream list(argv[i]);
        for (std::string attribute; std::getline(list, attribute, ';');) {
            attributes.push_back(attribute);
        }
        registered = Odbc::RegisterSystemDataSource(argv[1], attributes) && registered;
    }
    return registered ? 0 : 1;
}
