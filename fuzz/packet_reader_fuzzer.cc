// The packet reader and writer of the KCP transport against a model of their wire
// format (big-endian u8, u16, u32; a text field of u16 length n, n - 1 text bytes
// and a zero). The first part of the input is a schema of fields, the rest a
// packet: the reader must read each field exactly as the model does, never past
// the packet, and the writer must write back what was read byte for byte. Or the
// schema drives the writer with values from the input (and raw bytes and cursor
// moves), against the model's encoding and its 1500-byte limit, and the reader must
// read those values back.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/packet_model.h"
#include "src/utilities/message.h"

namespace {

using zek_fuzz::FuzzInput;

enum FieldKind { kU8, kU16, kU32, kText, kString, kBinary, kReset, kReadData, kKinds };

struct Field {
  FieldKind kind;
  uint32_t value = 0;    // integers
  std::string bytes;     // text fields: the text bytes, zeros included
  bool present = false;  // read whole
};

using zek_fuzz::EncodeField;
using zek_fuzz::PacketModelReader;
using zek_fuzz::UpToZero;

// One integer field through the reader and the model; they must agree.
template <typename T>
uint32_t ReadInt(mavel::msg_packet_in* reader, PacketModelReader* model, bool* ok) {
  T value = static_cast<T>(0xAAAAAAAAu);
  *reader >> value;
  const uint32_t expected = model->Int(sizeof(T), ok);
  ZEK_FUZZ_CHECK(value == expected, "a %zu-byte integer read as %u, model %u", sizeof(T),
                 static_cast<unsigned>(value), expected);
  return expected;
}

// Writes one field with the writer's own operation for its kind.
void WriteField(mavel::msg_packet_out* writer, const Field& field) {
  switch (field.kind) {
    case kU8:
      *writer << static_cast<unsigned char>(field.value);
      break;
    case kU16:
      *writer << static_cast<unsigned short>(field.value);
      break;
    case kU32:
      *writer << static_cast<unsigned int>(field.value);
      break;
    case kText:
      *writer << field.bytes.c_str();
      break;
    case kString:
      *writer << field.bytes;
      break;
    case kBinary:
      writer->WriteBinary(field.bytes.data(), static_cast<unsigned short>(field.bytes.size()));
      break;
    default:
      break;
  }
}

// Reads `schema` from `packet` with the real reader and the model, field by field.
std::vector<Field> ReadBoth(const std::vector<FieldKind>& schema, const std::string& packet) {
  std::unique_ptr<char[]> copy(new char[packet.size()]);
  memcpy(copy.get(), packet.data(), packet.size());
  mavel::msg_packet_in reader(copy.get(), static_cast<int>(packet.size()));
  // The reader keeps a copy: the caller's bytes may go at once.
  copy.reset();
  ZEK_FUZZ_CHECK(reader.GetSize() == static_cast<int>(packet.size()), "GetSize %d, packet %zu",
                 reader.GetSize(), packet.size());
  PacketModelReader model(packet);
  std::vector<Field> fields;
  for (FieldKind kind : schema) {
    Field field;
    field.kind = kind;
    bool ok = false;
    switch (kind) {
      case kU8:
        field.value = ReadInt<unsigned char>(&reader, &model, &ok);
        break;
      case kU16:
        field.value = ReadInt<unsigned short>(&reader, &model, &ok);
        break;
      case kU32:
        field.value = ReadInt<unsigned int>(&reader, &model, &ok);
        break;
      case kText: {
        const char* text = nullptr;
        reader >> text;
        ok = model.Field(&field.bytes);
        ZEK_FUZZ_CHECK(text != nullptr, "a text read as null");
        // The pointer is into the reader's copy; the field's zero ends it there.
        ZEK_FUZZ_CHECK(strcmp(text, UpToZero(field.bytes).c_str()) == 0,
                       "text differs from the model's");
        break;
      }
      case kString: {
        std::string text = "stale";
        reader >> text;
        ok = model.Field(&field.bytes);
        ZEK_FUZZ_CHECK(text == UpToZero(field.bytes), "string differs from the model's");
        break;
      }
      case kBinary: {
        unsigned short len = 0xAAAA;
        const char* bytes = reader.ReadBinary(len);
        ok = model.Field(&field.bytes);
        ZEK_FUZZ_CHECK((bytes != nullptr) == ok, "ReadBinary null %d, model whole %d",
                       bytes == nullptr, ok);
        ZEK_FUZZ_CHECK(len == (ok ? field.bytes.size() : 0), "ReadBinary length %u, model %zu", len,
                       field.bytes.size());
        ZEK_FUZZ_CHECK(!ok || memcmp(bytes, field.bytes.data(), len) == 0,
                       "ReadBinary bytes differ");
        break;
      }
      case kReset:
        reader.Reset();
        model.Reset();
        ok = true;
        break;
      case kReadData: {
        int remaining = -1;
        const char* rest = reader.ReadData(remaining);
        ZEK_FUZZ_CHECK(remaining == static_cast<int>(model.remaining()),
                       "ReadData says %d left, model %zu", remaining, model.remaining());
        ZEK_FUZZ_CHECK(remaining == 0 || memcmp(rest, packet.data() + model.pos(),
                                                static_cast<size_t>(remaining)) == 0,
                       "ReadData bytes differ");
        ok = true;
        break;
      }
      case kKinds:
        break;
    }
    ZEK_FUZZ_CHECK(reader.Failed() == model.failed(), "Failed() %d after field kind %d, model %d",
                   reader.Failed(), kind, model.failed());
    field.present = ok;
    fields.push_back(field);
  }
  return fields;
}

// Writes the fields that were read whole, in their order, and returns the bytes.
// A text read from a field that has a zero inside it is written up to that zero.
std::string WriteBack(const std::vector<Field>& fields, bool* failed) {
  mavel::msg_packet_out writer;
  for (Field field : fields) {
    if (!field.present)
      continue;
    if (field.kind == kText || field.kind == kString)
      field.bytes = UpToZero(field.bytes);
    WriteField(&writer, field);
  }
  *failed = writer.Failed();
  return std::string(writer.GetData(), static_cast<size_t>(writer.GetSize()));
}

std::string ModelWrite(const Field& field) {
  switch (field.kind) {
    case kU8:
      return zek_fuzz::Be(field.value, 1);
    case kU16:
      return zek_fuzz::Be(field.value, 2);
    case kU32:
      return zek_fuzz::Be(field.value, 4);
    case kText:
    case kString:
      return EncodeField(UpToZero(field.bytes));
    case kBinary:
      return field.bytes.empty() ? std::string() : EncodeField(field.bytes);
    default:
      return std::string();
  }
}

// The input's own values through the writer: each field goes in whole or, once one
// does not fit, the writer fails and nothing more is written.
void WriteThenRead(FuzzInput* in, const std::vector<FieldKind>& schema) {
  mavel::msg_packet_out writer;
  // The model's packet: the bytes up to `cursor` are the packet so far.
  std::string model(mavel::kMsgPacketSize, '\0');
  size_t cursor = 0;
  bool failed = false;
  // Whole fields in order, while no raw bytes or cursor moves came between them.
  bool structured = true;
  std::vector<Field> written;
  for (FieldKind kind : schema) {
    Field field;
    field.kind = kind;
    if (kind == kU8 || kind == kU16 || kind == kU32)
      field.value = in->U32() & (kind == kU8 ? 0xFF : kind == kU16 ? 0xFFFF : 0xFFFFFFFF);
    else if (kind != kReset)
      field.bytes = in->Blob(1600);
    // A long run now and then, to reach the limit without a long input.
    if (kind == kBinary && !field.bytes.empty() && field.bytes[0] == 'L')
      field.bytes.resize(1200, 'L');

    std::string encoded;
    if (kind == kReset) {  // the cursor moves, anywhere, even beyond the packet
      const int pos = in->U16() % 1600;
      const int previous = writer.SetCursor(pos);
      ZEK_FUZZ_CHECK(previous == static_cast<int>(cursor), "SetCursor returned %d, model %zu",
                     previous, cursor);
      if (pos > mavel::kMsgPacketSize)
        failed = true;
      else
        cursor = static_cast<size_t>(pos);
      structured = false;
    } else if (kind == kReadData) {  // raw bytes, no length field
      writer.WriteData(field.bytes.data(), static_cast<int>(field.bytes.size()));
      encoded = field.bytes;
      structured = false;
    } else {
      WriteField(&writer, field);
      encoded = ModelWrite(field);
    }
    if (!encoded.empty() && !failed) {
      if (encoded.size() > model.size() - cursor) {
        failed = true;
      } else {
        model.replace(cursor, encoded.size(), encoded);
        cursor += encoded.size();
        if (structured)
          written.push_back(field);
      }
    }
    ZEK_FUZZ_CHECK(writer.Failed() == failed, "writer Failed() %d, model %d", writer.Failed(),
                   failed);
    ZEK_FUZZ_CHECK(writer.GetSize() == static_cast<int>(cursor), "writer holds %d bytes, model %zu",
                   writer.GetSize(), cursor);
    ZEK_FUZZ_CHECK(memcmp(writer.GetData(), model.data(), cursor) == 0,
                   "written bytes differ from the model's encoding");
  }
  if (!structured)
    return;

  // Read back what went in.
  std::vector<FieldKind> kinds;
  for (const Field& field : written)
    kinds.push_back(field.kind == kText ? kString : field.kind);
  const std::vector<Field> read = ReadBoth(kinds, model.substr(0, cursor));
  for (size_t i = 0; i < written.size(); ++i) {
    ZEK_FUZZ_CHECK(read[i].present, "field %zu did not read back", i);
    ZEK_FUZZ_CHECK(read[i].value == written[i].value, "field %zu read back as another value", i);
    const std::string want =
        written[i].kind == kBinary ? written[i].bytes : UpToZero(written[i].bytes);
    ZEK_FUZZ_CHECK(read[i].bytes == want, "text field %zu read back differently", i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const size_t count = in.Byte() % 24;
  std::vector<FieldKind> schema;
  for (size_t i = 0; i < count; ++i)
    schema.push_back(static_cast<FieldKind>(in.Byte() % kKinds));
  const bool write_mode = (in.Byte() & 1) != 0;
  if (write_mode) {
    WriteThenRead(&in, schema);
    return 0;
  }

  const std::string packet = in.Rest();
  const std::vector<Field> fields = ReadBoth(schema, packet);

  // Without a Reset the whole fields read are the start of the packet, so writing
  // them back must reproduce it.
  bool has_reset = false;
  for (FieldKind kind : schema)
    has_reset |= kind == kReset;
  if (has_reset)
    return 0;
  std::string expected;
  bool all_fit = true;
  for (const Field& field : fields) {
    if (!field.present)
      continue;
    // A text with a zero inside it, read as a C text, writes back shorter.
    if ((field.kind == kText || field.kind == kString) &&
        field.bytes.find('\0') != std::string::npos)
      return 0;
    expected += ModelWrite(field);
    all_fit &= expected.size() <= static_cast<size_t>(mavel::kMsgPacketSize);
  }
  if (!all_fit)
    return 0;
  bool failed = false;
  const std::string written = WriteBack(fields, &failed);
  ZEK_FUZZ_CHECK(!failed, "writing back the fields read failed");
  ZEK_FUZZ_CHECK(written == expected, "written back %zu bytes, model %zu", written.size(),
                 expected.size());
  // Fields that did not read whole leave the cursor where it was (or after a length),
  // so the whole fields read are consecutive only when none failed.
  // An empty binary field writes nothing (WriteBinary of 0 bytes is no field).
  bool any_failed = false;
  for (const Field& field : fields) {
    any_failed |= !field.present && field.kind != kReadData;
    any_failed |= field.present && field.kind == kBinary && field.bytes.empty();
  }
  if (!any_failed)
    ZEK_FUZZ_CHECK(packet.compare(0, written.size(), written) == 0,
                   "writing back the fields read does not reproduce the packet");
  return 0;
}
