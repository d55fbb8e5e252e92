// Executed-instruction counts of a MobileNet-v1-like network, layer by layer,
// in FLOAT32 and per-channel INT8.
//
// The network is mobilenet.h's: 149 M multiply-accumulates, weights and
// input from fixed seeds, written with the test tree's KFM writer.
//
// Each network is loaded, run once (the first run prepares filters), then
// run whole and stepped layer by layer between calls of the marker functions
// kestrune_insn_begin and kestrune_insn_end.  Under qemu-aarch64 with the
// insn_count plug-in (run.sh) the plug-in writes each interval's count to the
// file named by KESTRUNE_INSN_COUNTS, and this program prints instructions per
// multiply-accumulate.  Run anywhere else it prints the network's outputs
// alone (the same on every target and CPU model).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrune/nn.h"
#include "mobilenet.h"

extern "C" {
// The plug-in counts from a block starting in kestrune_insn_begin to one in
// kestrune_insn_end: each must stay a function of its own.
__attribute__((noinline, used)) void kestrune_insn_begin(void) { __asm__ volatile(""); }
__attribute__((noinline, used)) void kestrune_insn_end(void) { __asm__ volatile(""); }
}

namespace {

using namespace mobilenet;

// The count of the last interval, from the plug-in's file; -1 without one.
double last_count()
{
    static const char* path = std::getenv("KESTRUNE_INSN_COUNTS");
    if (!path)
        return -1;
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    unsigned long long n = 0;
    const int got = std::fscanf(f, "%llu", &n);
    std::fclose(f);
    return got == 1 ? static_cast<double>(n) : -1;
}

struct Figures {
    std::vector<double> step_insns;
    double whole = -1;
    std::string outputs;
};

bool measure(const Network& net, bool int8, Figures* fig)
{
    nn_context* ctx = nn_context_init(nullptr, net.pool_bytes, nullptr, 16u << 20, nullptr);
    if (!ctx || nn_context_model_load(ctx, net.buffer.size(), net.buffer.data()) != 0) {
        std::fprintf(stderr, "the %s network did not load\n", int8 ? "INT8" : "FLOAT32");
        if (ctx)
            nn_context_release(ctx);
        return false;
    }
    set_input(nn_context_tensor_index(ctx, 0), int8);
    bool ok = nn_context_run(ctx) == 0;  // prepares the filters
    kestrune_insn_begin();
    ok = ok && nn_context_run(ctx) == 0;
    kestrune_insn_end();
    fig->whole = last_count();
    for (const Step& s : net.steps) {
        kestrune_insn_begin();
        ok = ok && nn_context_step(ctx, s.layer) == 0;
        kestrune_insn_end();
        fig->step_insns.push_back(last_count());
    }
    nn_tensor* out = nn_context_tensor_index(ctx, net.steps.back().layer);
    const void* o = nn_tensor_mapro(out);
    char line[32];
    for (int c = 0; c < kClasses && o; ++c) {
        if (int8)
            std::snprintf(line, sizeof line, " %d", static_cast<const int8_t*>(o)[c]);
        else
            std::snprintf(line, sizeof line, " %.4f", static_cast<const float*>(o)[c]);
        fig->outputs += line;
    }
    nn_tensor_unmap(out);
    nn_context_release(ctx);
    if (!ok)
        std::fprintf(stderr, "the %s network did not run\n", int8 ? "INT8" : "FLOAT32");
    return ok;
}

std::string cell(double insns, double macs)
{
    char b[32];
    if (insns < 0)
        return "-";
    if (macs > 0)
        std::snprintf(b, sizeof b, "%.2f", insns / macs);
    else if (insns < 1e5)
        std::snprintf(b, sizeof b, "%.1f k", insns / 1e3);
    else
        std::snprintf(b, sizeof b, "%.1f M", insns / 1e6);
    return b;
}

}  // namespace

int main()
{
    const Network nets[2] = {build(false), build(true)};
    Figures figs[2];
    for (int t = 0; t < 2; ++t)
        if (!measure(nets[t], t == 1, &figs[t]))
            return 1;
    std::printf("instructions per multiply-accumulate (i/MAC; layers without MACs: instructions)\n\n");
    std::printf("| layer | MACs | FLOAT32 | INT8 |\n|---|---|---|---|\n");
    for (size_t i = 0; i < nets[0].steps.size(); ++i) {
        const Step& s = nets[0].steps[i];
        std::printf("| %s | %.3g M | %s | %s |\n", s.name.c_str(), s.macs / 1e6,
                    cell(figs[0].step_insns[i], s.macs).c_str(),
                    cell(figs[1].step_insns[i], s.macs).c_str());
    }
    std::printf("| whole network | %.1f M | %s | %s |\n", nets[0].macs / 1e6,
                cell(figs[0].whole, 0).c_str(), cell(figs[1].whole, 0).c_str());
    std::printf("| whole network, i/MAC | | %s | %s |\n", cell(figs[0].whole, nets[0].macs).c_str(),
                cell(figs[1].whole, nets[1].macs).c_str());
    std::printf("\nFLOAT32 outputs:%s\nINT8 outputs:%s\n", figs[0].outputs.c_str(),
                figs[1].outputs.c_str());
    return 0;
}
