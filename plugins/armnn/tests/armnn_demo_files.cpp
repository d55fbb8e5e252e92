// Writes the demonstration's files into a folder: pool.tflite (a [1,4,4,3]
// float32 input averaged to [1,1,1,3]), a garbage bad.tflite and a pure red
// 4 x 4 red.png.
#include <cstdio>
#include <string>

#include "armnn_pictures.h"
#include "tflite_writer.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string png = armnn_test::solid_picture(armnn_test::Picture::png, 4, 4, 255, 0, 0);
    bool ok = tflite_test::write_file(dir + "/pool.tflite",
                                      tflite_test::write(tflite_test::pool_model(tflite_test::TensorType::float32))) &&
              tflite_test::write_file(dir + "/bad.tflite", std::vector<uint8_t>(64, 0x33)) &&
              tflite_test::write_file(dir + "/red.png", std::vector<uint8_t>(png.begin(), png.end()));
    return ok ? 0 : 1;
}
