// Writes the model files of the RPC end-to-end test into a folder:
// reshape.kfm (input [1,4] -> output, labels a..d) and uop_double.kfm
// (input [1,4] -> user_op "double").
#include <cstdio>
#include <fstream>
#include <string>

#include "rpc_fixture.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rpc_models FOLDER\n");
        return 1;
    }
    struct {
        const char* name;
        kfm::Buffer bytes;
    } files[] = {{"reshape.kfm", rpc_test::reshape_model()}, {"uop_double.kfm", rpc_test::user_op_model("double")}};
    for (const auto& f : files) {
        std::ofstream out(std::string(argv[1]) + "/" + f.name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(f.bytes.data()), std::streamsize(f.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "rpc_models: cannot write %s\n", f.name);
            return 1;
        }
    }
    return 0;
}
