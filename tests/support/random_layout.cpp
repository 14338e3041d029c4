#include "support/random_layout.h"

#include <algorithm>
#include <cstdio>

namespace morvik_test {

namespace {

uint32_t Pick(std::mt19937& rng, uint32_t from, uint32_t to) {
    return std::uniform_int_distribution<uint32_t>(from, to)(rng);
}

Bytes ImageBytes(std::mt19937& rng, uint32_t length) {
    Bytes bytes = PatternBytes(length, rng());
    if (length > 300 && Pick(rng, 0, 2) == 0) Fill(bytes, Pick(rng, 0, length - 200), 150, Pick(rng, 0, 1) ? 0xFF : 0);
    return bytes;
}

// An image line at `at`; `group` -1 for a plain image.
uint32_t AddImage(std::mt19937& rng, Layout* l, uint32_t at, int group, bool kernel, bool lastOfGroup) {
    uint32_t length = Pick(rng, 1, 0x1800), data = kernel ? at + 0x100 : at;
    std::string name = Format("i%zu.bin", l->files.size());
    l->files.push_back({name, ImageBytes(rng, length)});
    std::string line = ":" + name + " &" + Format("%x", at);
    uint32_t end = lastOfGroup ? ((data + length + 1) & ~1u) + 16 : data + length;
    if (Pick(rng, 0, 2) == 0) {
        uint32_t limit = end - data + Pick(rng, 0, 0x600);
        const char* pads[] = {"", " -p 0x00", " -p 0xff"};
        line += Format(" -l 0x%x%s", limit, pads[Pick(rng, 0, 2)]);
        end = data + limit;
    }
    if (group >= 0) line += Format(kernel ? " -k %d" : " -f %d", group) + (Pick(rng, 0, 1) ? " -c" : "");
    if (group >= 0 && Pick(rng, 0, 1)) line += Format(" -v %u.%02u", Pick(rng, 0, 9), Pick(rng, 0, 99));
    l->par += line + "\n";
    return end;
}

}  // namespace

Layout RandomLayout(std::mt19937& rng) {
    Layout l;
    l.fill = Pick(rng, 0, 1) ? "0xff" : "0x00";
    int groups = static_cast<int>(Pick(rng, 0, 2));
    // Without a header, the PID block is what makes the file a bound image.
    bool record = groups == 0 && Pick(rng, 0, 1);
    std::vector<int> order;  // -1 plain, g a group image, 9 the PID block, 8 the FW PID record
    for (uint32_t n = Pick(rng, groups == 0 ? 1 : 0, 3); n > 0; --n) order.push_back(-1);
    for (int g = 0; g < groups; ++g)
        for (uint32_t n = Pick(rng, 1, 3); n > 0; --n) order.push_back(g);
    std::shuffle(order.begin(), order.end(), rng);
    std::stable_sort(order.begin(), order.end(), [](int a, int b) { return a >= 0 && b >= 0 && a < b; });
    order.insert(order.begin() + Pick(rng, 0, static_cast<uint32_t>(order.size()) - 1), 9);
    if (record) order.insert(order.begin() + Pick(rng, 0, static_cast<uint32_t>(order.size())), 8);
    uint32_t at = 0, pidEnd = 0, fwAt = 0;
    std::vector<bool> kernelDone(2, false);
    for (size_t i = 0; i < order.size(); ++i) {
        uint32_t start = at + (Pick(rng, 0, 3) == 0 ? 0 : Pick(rng, 1, 0x900));
        int g = order[i];
        if (g == 9 || g == 8) {
            (g == 9 ? pidEnd : fwAt) = std::max<uint32_t>(start, 2) + (g == 9 ? 69 : 0);
            at = g == 9 ? pidEnd + 1 : fwAt + 16;
            continue;
        }
        bool kernel = g >= 0 && !kernelDone[static_cast<size_t>(g)];
        if (kernel) kernelDone[static_cast<size_t>(g)] = true;
        bool last = g >= 0 && std::find(order.begin() + static_cast<long>(i) + 1, order.end(), g) == order.end();
        at = AddImage(rng, &l, start, g, kernel, last);
    }
    l.files.push_back({"pid.txt", Text(PidFileText().c_str())});
    std::string pidLine = fwAt != 0 ? Format("%%pid.txt &%x &%x\n", pidEnd, fwAt) : Format("%%pid.txt &%x\n", pidEnd);
    l.par = Format("$Size &%x\n", (at + 1023) / 1024 + Pick(rng, 0, 2)) + pidLine + l.par;
    return l;
}

}  // namespace morvik_test
