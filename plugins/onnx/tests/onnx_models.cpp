// Writes the demonstration files into a folder: gap.onnx (x [1,3,5,5] ->
// GlobalAveragePool -> y [1,3,1,1]), green.png (solid green), and a line of
// text drawn with a small bitmap font, upright (text_upright.png) and turned
// by 180 degrees (text_rotated.png), black on white, 192 x 48 pixels.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "onnx_writer.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace {

// 5 x 7 glyphs, one string of five characters a row, '#' set.
struct Glyph {
    char c;
    const char* rows[7];
};
const Glyph kFont[] = {
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "##.##", "#...#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
};

const Glyph* glyph(char c)
{
    for (const Glyph& g : kFont)
        if (g.c == c)
            return &g;
    return &kFont[sizeof kFont / sizeof kFont[0] - 1];
}

// RGB pixels of `text` at `scale` pixels a font dot, centred in w x h.
std::vector<uint8_t> render(const std::string& text, int w, int h, int scale)
{
    std::vector<uint8_t> px((size_t)(w * h * 3), 255);
    int text_w = (int)text.size() * 6 * scale - scale;
    int x0 = (w - text_w) / 2, y0 = (h - 7 * scale) / 2;
    for (size_t i = 0; i < text.size(); ++i) {
        const Glyph* g = glyph(text[i]);
        for (int r = 0; r < 7; ++r)
            for (int c = 0; c < 5; ++c) {
                if (g->rows[r][c] != '#')
                    continue;
                for (int dy = 0; dy < scale; ++dy)
                    for (int dx = 0; dx < scale; ++dx) {
                        int x = x0 + ((int)i * 6 + c) * scale + dx, y = y0 + r * scale + dy;
                        if (x >= 0 && x < w && y >= 0 && y < h)
                            std::memset(&px[(size_t)((y * w + x) * 3)], 0, 3);
                    }
            }
    }
    return px;
}

// The same pixels turned by 180 degrees.
std::vector<uint8_t> rotated(const std::vector<uint8_t>& px, int w, int h)
{
    std::vector<uint8_t> out(px.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            std::memcpy(&out[(size_t)(((h - 1 - y) * w + (w - 1 - x)) * 3)], &px[(size_t)((y * w + x) * 3)], 3);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    using onnxtest::Value;
    bool ok = onnxtest::write_model_file(dir + "/gap.onnx",
                                         onnxtest::single_node("GlobalAveragePool",
                                                               Value{"x", onnxtest::FLOAT, {1, 3, 5, 5}},
                                                               Value{"y", onnxtest::FLOAT, {1, 3, 1, 1}}));
    std::vector<uint8_t> green(5 * 5 * 3, 0);
    for (size_t i = 1; i < green.size(); i += 3)
        green[i] = 255;
    ok = ok && stbi_write_png((dir + "/green.png").c_str(), 5, 5, 3, green.data(), 15);
    const int w = 192, h = 48;
    std::vector<uint8_t> text = render("HELLO WORLD", w, h, 2);
    ok = ok && stbi_write_png((dir + "/text_upright.png").c_str(), w, h, 3, text.data(), w * 3);
    ok = ok && stbi_write_png((dir + "/text_rotated.png").c_str(), w, h, 3, rotated(text, w, h).data(), w * 3);
    if (!ok) {
        fprintf(stderr, "could not write the files in %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
