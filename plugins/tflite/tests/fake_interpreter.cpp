// The binding's two functions over the double: they answer as the test set
// them in binding().
#include "fake_interpreter.h"

namespace tftest {

namespace {
FakeBinding* current = nullptr;
}

FakeBinding& binding()
{
    if (!current)
        current = new FakeBinding;
    return *current;
}

void reset_binding()
{
    delete current;
    current = new FakeBinding;
}

}  // namespace tftest

namespace tfplugin {

bool verify_model_bytes(const uint8_t* bytes, size_t size) noexcept
{
    tftest::FakeBinding& b = tftest::binding();
    b.verifies++;
    (void)bytes;
    (void)size;
    return b.bytes_valid;
}

int open_interpreter(const OpenRequest& request, UniqueInterpreter* out) noexcept
{
    tftest::FakeBinding& b = tftest::binding();
    b.opens++;
    b.request = request;
    b.request_bytes = request.bytes ? std::string(reinterpret_cast<const char*>(request.bytes), request.size) : "";
    if (b.open_status != 0)
        return b.open_status;
    b.last = new tftest::FakeInterpreter(b.graph, b.state);
    out->reset(b.last);
    return 0;
}

}  // namespace tfplugin
