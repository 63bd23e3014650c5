// The circular reassembly buffer against a std::deque: every operation is applied
// to both, and after each one the buffer must hold exactly the deque's bytes, in
// order, with the capacity that doubling from the initial size gives.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <deque>
#include <string>

#include "fuzz/common/fuzz_input.h"
#include "src/utilities/cycle_buffer.h"

namespace {

using zek_fuzz::FuzzInput;

// The largest single write and initial size a script may ask for: enough for
// several doublings without slowing the fuzzer down.
constexpr size_t kMaxWrite = 1 << 13;

struct Model {
  std::deque<char> bytes;
  size_t capacity = 0;
  size_t read_pos = 0;
};

std::string Contents(const Model& model) {
  return std::string(model.bytes.begin(), model.bytes.end());
}

void Consume(Model* model, size_t n) {
  model->bytes.erase(model->bytes.begin(), model->bytes.begin() + static_cast<long>(n));
  model->read_pos += n;
  if (model->read_pos >= model->capacity)
    model->read_pos -= model->capacity;
}

void Check(const tavix::CycleBuffer& buffer, const Model& model) {
  ZEK_FUZZ_CHECK(buffer.size() == model.bytes.size(), "size %zu, expected %zu", buffer.size(),
                 model.bytes.size());
  ZEK_FUZZ_CHECK(buffer.IsEmpty() == model.bytes.empty(), "IsEmpty %d with %zu bytes",
                 buffer.IsEmpty(), model.bytes.size());
  ZEK_FUZZ_CHECK(buffer.capacity() == model.capacity, "capacity %zu, expected %zu",
                 buffer.capacity(), model.capacity);
  size_t pos = 0;
  buffer.GetPosition(&pos);
  ZEK_FUZZ_CHECK(pos == model.read_pos, "read position %zu, expected %zu", pos, model.read_pos);

  const std::string expected = Contents(model);
  std::string out(expected.size() + 1, '\0');
  const size_t n = buffer.Read(&out[0], out.size());
  out.resize(n);
  ZEK_FUZZ_CHECK(out == expected, "Read gave %zu bytes that differ from the %zu stored", n,
                 expected.size());
  // Unwrapped bytes are one run from c_str(), which the reassembly parses in place.
  if (model.capacity > 0 && model.read_pos + expected.size() <= model.capacity) {
    ZEK_FUZZ_CHECK(memcmp(buffer.c_str(), expected.data(), expected.size()) == 0,
                   "c_str() does not show the %zu stored bytes in order", expected.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  tavix::CycleBuffer buffer;
  Model model;
  int written = 0;
  while (!in.empty()) {
    switch (in.Byte() % 8) {
      case 0: {  // Init
        const size_t init = in.U16() % 4097;
        const bool ok = buffer.Init(init);
        ZEK_FUZZ_CHECK(ok == (init > 0), "Init(%zu) returned %d", init, ok);
        if (ok) {
          model.bytes.clear();
          model.capacity = init;
          model.read_pos = 0;
        }
        break;
      }
      case 1: {  // Write of bytes from the input
        const std::string bytes = in.Blob(kMaxWrite);
        const bool ok = buffer.Write(bytes.data(), bytes.size());
        const bool expected = bytes.empty() || model.capacity > 0;
        ZEK_FUZZ_CHECK(ok == expected, "Write of %zu returned %d", bytes.size(), ok);
        if (ok) {
          while (model.capacity - model.bytes.size() < bytes.size())
            model.capacity *= 2;
          model.bytes.insert(model.bytes.end(), bytes.begin(), bytes.end());
        }
        break;
      }
      case 2: {  // Write of a long run, to make the storage grow several times
        const size_t n = static_cast<size_t>(in.Byte()) << 6;
        const std::string bytes(n, static_cast<char>('a' + written++ % 26));
        const bool ok = buffer.Write(bytes.data(), bytes.size());
        ZEK_FUZZ_CHECK(ok == (n == 0 || model.capacity > 0), "Write of %zu returned %d", n, ok);
        if (ok) {
          while (model.capacity - model.bytes.size() < n)
            model.capacity *= 2;
          model.bytes.insert(model.bytes.end(), bytes.begin(), bytes.end());
        }
        break;
      }
      case 3: {  // MovePosForward, sometimes past the stored bytes
        const size_t n = in.U16() % (model.bytes.size() + 3);
        const bool ok = buffer.MovePosForward(n);
        ZEK_FUZZ_CHECK(ok == (n <= model.bytes.size()), "MovePosForward(%zu) returned %d", n, ok);
        if (ok)
          Consume(&model, n);
        break;
      }
      case 4: {  // SetPosition, never before the read position
        size_t pos = 0;
        buffer.GetPosition(&pos);
        const size_t n = in.U16() % (model.bytes.size() + 3);
        const bool ok = buffer.SetPosition(pos + n);
        ZEK_FUZZ_CHECK(ok == (n <= model.bytes.size()), "SetPosition(+%zu) returned %d", n, ok);
        if (ok)
          Consume(&model, n);
        break;
      }
      case 5:
        buffer.Clear();
        model.bytes.clear();
        model.read_pos = 0;
        break;
      case 6: {
        const bool ok = buffer.ResizeBuffer();
        ZEK_FUZZ_CHECK(ok == (model.capacity > 0), "ResizeBuffer returned %d", ok);
        if (ok)
          model.capacity *= 2;
        break;
      }
      case 7: {  // a short Read, which must not consume
        const size_t n = in.Byte();
        std::string out(n, '\0');
        const size_t got = buffer.Read(&out[0], n);
        const size_t expected = n < model.bytes.size() ? n : model.bytes.size();
        ZEK_FUZZ_CHECK(got == expected, "Read(%zu) returned %zu", n, got);
        ZEK_FUZZ_CHECK(out.compare(0, got, Contents(model), 0, got) == 0, "Read(%zu) differs", n);
        break;
      }
    }
    Check(buffer, model);
    if (model.capacity > (1u << 16))
      break;  // enough growth; keeps each input fast
  }
  return 0;
}
