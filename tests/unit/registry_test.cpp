// The simulated registry: the Zw key services, the kernel handle table and
// .reg files.
#include <gtest/gtest.h>

#include <stdio.h>

#include <deque>
#include <unistd.h>

#include "ntstrsafe.h"
#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/thread_state.h"
#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"

namespace {

namespace reg = sim::registry;

constexpr const char* kParameters =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Quillex\\Parameters";

class RegistryTest : public ::testing::Test {
  protected:
    // Zw calls take counted strings that must outlive the call.
    PUNICODE_STRING Name(const std::string& text) {
        names_.push_back(sim::WideZ(text));
        strings_.push_back(UNICODE_STRING{});
        RtlInitUnicodeString(&strings_.back(), names_.back().data());
        return &strings_.back();
    }

    NTSTATUS Create(const std::string& path, HANDLE* key, ULONG* disposition = nullptr,
                    HANDLE root = nullptr, ULONG options = REG_OPTION_NON_VOLATILE) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, Name(path), OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition);
    }

    NTSTATUS Open(const std::string& path, HANDLE* key) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, Name(path), OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenKey(key, KEY_READ, &oa);
    }

    NTSTATUS Query(HANDLE key, const std::string& name, std::vector<uint8_t>* buffer,
                   ULONG* resultLength) {
        return ZwQueryValueKey(key, Name(name), KeyValuePartialInformation, buffer->data(),
                               static_cast<ULONG>(buffer->size()), resultLength);
    }

    sim::fault::Scope faults_;
    reg::Scope registry_;
    std::deque<std::vector<WCHAR>> names_;
    std::deque<UNICODE_STRING> strings_;
};

TEST_F(RegistryTest, CreateKeyOpensOrCreatesBelowAnExistingParentOnly) {
    ASSERT_TRUE(reg::CreateKey(kParameters));
    std::string remap = std::string(kParameters) + "\\Remap";
    HANDLE key = nullptr;
    ULONG disposition = 0;

    ASSERT_EQ(Create(remap, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(reg::KeyExists(remap));
    EXPECT_TRUE(reg::Values(remap).empty());
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // Names compare without case; the second create opens the same key.
    ASSERT_EQ(Create("\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\Services\\quillex\\"
                     "Parameters\\REMAP",
                     &key, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(reg::SubkeyNames(kParameters), std::vector<std::string>{"Remap"});
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // Two levels missing: nothing is made.
    EXPECT_EQ(Create("\\Registry\\Machine\\Software\\Vendor\\Product", &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::KeyExists("\\Registry\\Machine\\Software"));
    EXPECT_EQ(Open(remap + "\\Nothing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);
}

TEST_F(RegistryTest, MalformedNamesAreRefused) {
    HANDLE key = nullptr;
    EXPECT_EQ(Create("Registry\\Machine\\X", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create("", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create("\\Registry\\Machine\\\\X", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create("\\Registry\\Machine\\X\\", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create("\\Registry\\Machine\\" + std::string(256, 'k'), &key),
              STATUS_OBJECT_NAME_INVALID);
    // The limit counts characters, not the bytes that spell them.
    std::string wide;
    for (int i = 0; i < 255; ++i) {
        wide += "\xC3\xA9"; // e acute, two bytes
    }
    EXPECT_TRUE(reg::CreateKey("\\Registry\\Machine\\" + wide));
    EXPECT_FALSE(reg::CreateKey("\\Registry\\Machine\\" + wide + "\xC3\xA9"));
    EXPECT_EQ(Create("\\Device\\Whatever", &key), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create("\\Registry\\Hive", &key), STATUS_ACCESS_DENIED);

    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, Name("\\Registry\\Machine"), 0, nullptr, nullptr);
    oa.Length = 40;
    EXPECT_EQ(ZwCreateKey(&key, KEY_READ, &oa, 0, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd = *Name("\\Registry\\Machine");
    odd.Length = 3;
    InitializeObjectAttributes(&oa, &odd, 0, nullptr, nullptr);
    EXPECT_EQ(ZwCreateKey(&key, KEY_READ, &oa, 0, nullptr, 0, nullptr), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(sim::kernel::OpenHandleCount("Key"), 0u);
}

TEST_F(RegistryTest, RelativeNamesAndHandleKinds) {
    HANDLE machine = nullptr, child = nullptr, user = nullptr;
    ASSERT_EQ(Create("\\Registry\\Machine", &machine), STATUS_SUCCESS);
    EXPECT_TRUE(sim::kernel::IsKernelHandle(machine));
    EXPECT_EQ(Create("Software", &child, nullptr, machine), STATUS_SUCCESS);
    EXPECT_TRUE(reg::KeyExists("HKEY_LOCAL_MACHINE\\Software"));
    EXPECT_EQ(Create("\\Registry\\Machine\\X", &user, nullptr, machine),
              STATUS_OBJECT_PATH_SYNTAX_BAD);

    // Without OBJ_KERNEL_HANDLE the handle belongs to the calling process.
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, Name("\\Registry\\User"), 0, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&user, KEY_READ, &oa), STATUS_SUCCESS);
    EXPECT_FALSE(sim::kernel::IsKernelHandle(user));
    EXPECT_EQ(sim::kernel::GrantedAccess(user), static_cast<ACCESS_MASK>(KEY_READ));

    // A value handle is no key: relative opens and value calls refuse it.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7777));
    EXPECT_EQ(Create("Software", &child, nullptr, bogus), STATUS_INVALID_HANDLE);
    ULONG v = 1;
    EXPECT_EQ(ZwSetValueKey(bogus, Name("v"), 0, REG_DWORD, &v, 4), STATUS_INVALID_HANDLE);

    for (HANDLE h : {machine, child, user}) {
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    }
}

TEST_F(RegistryTest, PartialInformationFollowsTheBufferSize) {
    ASSERT_TRUE(reg::SetValue(kParameters, "Blob", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kParameters, &key), STATUS_SUCCESS);

    std::vector<uint8_t> small(11, 0xEE), header(20, 0xEE), whole(21, 0xEE);
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, "Blob", &small, &resultLength), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, 21u);
    EXPECT_EQ(small, std::vector<uint8_t>(11, 0xEE)); // nothing written

    // Nine data bytes do not fit in 8: the header alone, and the overflow warning.
    EXPECT_EQ(Query(key, "Blob", &header, &resultLength), STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(header.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(info->DataLength, 9u);
    EXPECT_EQ(header[12], 0xEE);

    EXPECT_EQ(Query(key, "blob", &whole, &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(resultLength, 21u);
    EXPECT_EQ(std::vector<uint8_t>(whole.begin() + 12, whole.end()),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));

    EXPECT_EQ(Query(key, "Missing", &whole, &resultLength), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(
        ZwQueryValueKey(key, Name("Blob"), KeyValuePartialInformation, whole.data(), 21, nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, BasicAndFullInformationCarryTheName) {
    ASSERT_TRUE(reg::SetDword(kParameters, "Level", 7));
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kParameters, &key), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(64, 0);
    ULONG length = 0;

    ASSERT_EQ(
        ZwQueryValueKey(key, Name("Level"), KeyValueBasicInformation, buffer.data(), 64, &length),
        STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(length, 12u + 10u);
    EXPECT_EQ(basic->NameLength, 10u);
    EXPECT_EQ(sim::Utf16ToUtf8(basic->Name, 5), "Level");

    ASSERT_EQ(
        ZwQueryValueKey(key, Name("Level"), KeyValueFullInformation, buffer.data(), 64, &length),
        STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(full->DataOffset % 4, 0u);
    EXPECT_EQ(buffer[full->DataOffset], 7);
    EXPECT_EQ(length, full->DataOffset + 4);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, SetValueReplacesInPlaceAndKeepsOrder) {
    HANDLE key = nullptr;
    ASSERT_TRUE(reg::CreateKey(kParameters));
    ASSERT_EQ(Open(kParameters, &key), STATUS_SUCCESS);
    ULONG one = 1, two = 2;
    EXPECT_EQ(ZwSetValueKey(key, Name("First"), 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, Name("Second"), 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, Name("FIRST"), 0, REG_BINARY, &two, 2), STATUS_SUCCESS);
    std::vector<reg::Value> values = reg::Values(kParameters);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "First");
    EXPECT_EQ(values[0].type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(values[0].data, (std::vector<uint8_t>{2, 0}));
    EXPECT_EQ(ZwSetValueKey(key, Name("Null"), 0, REG_DWORD, nullptr, 4), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(ZwDeleteValueKey(key, Name("second")), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, Name("second")), STATUS_OBJECT_NAME_NOT_FOUND);

    // A key deleted under an open handle refuses further use.
    ASSERT_TRUE(reg::DeleteKey(kParameters));
    EXPECT_EQ(ZwSetValueKey(key, Name("First"), 0, REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, InjectedFailuresChangeNothing) {
    ASSERT_TRUE(reg::SetDword(kParameters, "Kept", 5));
    HANDLE key = nullptr;
    sim::fault::FailNthCall("ZwCreateKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Create(std::string(kParameters) + "\\New", &key), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(reg::KeyExists(std::string(kParameters) + "\\New"));

    ASSERT_EQ(Open(kParameters, &key), STATUS_SUCCESS);
    ULONG v = 9;
    sim::fault::FailNthCall("ZwSetValueKey", 2, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwSetValueKey(key, Name("A"), 0, REG_DWORD, &v, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, Name("Kept"), 0, REG_DWORD, &v, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reg::GetDword(kParameters, "Kept"), 5u);

    std::vector<uint8_t> buffer(20);
    ULONG length = 0;
    sim::fault::FailNthCall("ZwQueryValueKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Query(key, "Kept", &buffer, &length), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, KernelRulesStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HANDLE key = nullptr;
    ASSERT_EQ(Create("\\Registry\\Machine", &key), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_DEATH(ZwClose(key), "kernel handle closed twice or never opened");
    EXPECT_DEATH(
        {
            sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
            Create("\\Registry\\Machine", &key);
        },
        "service called above its IRQL");
}

// --- .reg files ---

std::string Utf16LeWithBom(const std::string& utf8) {
    std::string out = "\xFF\xFE";
    for (WCHAR c : sim::Utf8ToUtf16(utf8)) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>((c >> 8) & 0xFF);
    }
    return out;
}

TEST_F(RegistryTest, ExportIsWhatRegeditWrites) {
    std::string remap = std::string(kParameters) + "\\Remap";
    ASSERT_TRUE(reg::SetDword(remap, "BTN_A", 0));
    ASSERT_TRUE(reg::SetDword(remap, "SWAP_STICKS", 0x1FF));
    ASSERT_TRUE(reg::SetString(remap, "Note", "C:\\path \"quoted\""));
    ASSERT_TRUE(reg::SetValue(remap, "", REG_BINARY, {0xAB}));
    ASSERT_TRUE(reg::SetValue(remap, "Odd", REG_DWORD, {1, 2}));
    ASSERT_TRUE(reg::SetValue(remap, "Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}));

    std::string expected =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quillex]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quillex\\Parameters]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]"
        "\r\n"
        "\"BTN_A\"=dword:00000000\r\n"
        "\"SWAP_STICKS\"=dword:000001ff\r\n"
        "\"Note\"=\"C:\\\\path \\\"quoted\\\"\"\r\n"
        "@=hex:ab\r\n"
        "\"Odd\"=hex(4):01,02\r\n"
        "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
        "\r\n";
    EXPECT_EQ(reg::ExportRegText(), expected);
}

TEST_F(RegistryTest, LongBinaryDataWrapsAt80Columns) {
    std::vector<uint8_t> data(60);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    ASSERT_TRUE(reg::SetValue("HKEY_LOCAL_MACHINE\\Software", "Binary", REG_BINARY, data));
    std::string text = reg::ExportRegText();
    EXPECT_NE(text.find("\"Binary\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,"
                        "13,14,15,\\\r\n"
                        "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,"
                        "2d,2e,\\\r\n"
                        "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b\r\n"),
              std::string::npos)
        << text;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        EXPECT_LE(end - start, 80u);
        start = end + 2;
    }
}

TEST_F(RegistryTest, RoundTripThroughAUtf16File) {
    std::string remap = std::string(kParameters) + "\\Remap";
    std::vector<uint8_t> binary(40, 0x5A);
    ASSERT_TRUE(reg::SetDword(remap, "ENABLE_SCALING", 1));
    ASSERT_TRUE(reg::SetString(remap, "Name", "Galdrune \xC3\xA9t\xC3\xA9"));
    ASSERT_TRUE(reg::SetValue(remap, "Curve", REG_BINARY, binary));
    ASSERT_TRUE(reg::SetValue(remap, "Empty", REG_NONE, {}));
    ASSERT_TRUE(reg::SetValue("HKEY_USERS\\.DEFAULT", "Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}));
    std::string exported = reg::ExportRegText();

    char path[] = "/tmp/quillex-reg-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string error;
    ASSERT_TRUE(reg::ExportRegFile(path, &error)) << error;

    FILE* f = fopen(path, "rb");
    unsigned char bom[2] = {};
    ASSERT_EQ(fread(bom, 1, 2, f), 2u);
    fclose(f);
    EXPECT_EQ(bom[0], 0xFF);
    EXPECT_EQ(bom[1], 0xFE);

    reg::Reset();
    ASSERT_TRUE(reg::ImportRegFile(path, &error)) << error;
    unlink(path);
    EXPECT_EQ(reg::ExportRegText(), exported);
    EXPECT_EQ(reg::GetValue(remap, "Curve")->data, binary);
    EXPECT_EQ(reg::GetValue(remap, "Empty")->type, static_cast<ULONG>(REG_NONE));
}

TEST_F(RegistryTest, ImportReadsUtf8AndRegeditsUtf16Alike) {
    std::string text = "Windows Registry Editor Version 5.00\r\n"
                       "\r\n"
                       "; written by hand\r\n"
                       "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Quillex\\"
                       "Parameters\\Remap]\r\n"
                       "\"BTN_A\"=dword:3\r\n"
                       "\"SWAP_TRIGGERS\"=\"1\"\r\n"
                       "\"Wrapped\"=hex:01,02,\\\r\n"
                       "  03,04\r\n";
    std::string remap = std::string(kParameters) + "\\Remap";
    for (const std::string& bytes : {text, "\xEF\xBB\xBF" + text, Utf16LeWithBom(text)}) {
        reg::Reset();
        std::string error;
        ASSERT_TRUE(reg::ImportRegText(bytes, &error)) << error;
        EXPECT_EQ(reg::GetDword(remap, "BTN_A"), 3u);
        EXPECT_EQ(reg::GetValue(remap, "SWAP_TRIGGERS")->data,
                  (std::vector<uint8_t>{0x31, 0, 0, 0}));
        EXPECT_EQ(reg::GetValue(remap, "Wrapped")->data, (std::vector<uint8_t>{1, 2, 3, 4}));
    }
}

TEST_F(RegistryTest, NeitherBrokenUtf8NorALineBreakInAStringBreaksTheWrittenBackText) {
    // 0xC0 0x8A is a line feed in an overlong form; 0xED 0xA0 0x80 a lone
    // surrogate; 0xF4 0x90 0x80 0x80 past U+10FFFF. None is UTF-8.
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Quillex]\r\n"
                       "\"Overlong\"=\"a\xC0\x8A"
                       "b\"\r\n"
                       "\"Surrogate\"=\"\xED\xA0\x80\"\r\n"
                       "\"TooFar\"=\"\xF4\x90\x80\x80\"\r\n"
                       "\"Fine\"=\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAE\"\r\n";
    std::string error;
    ASSERT_TRUE(reg::ImportRegText(text, &error)) << error;
    const std::string key = "\\Registry\\Machine\\Software\\Quillex";
    auto wide = [&](const char* name) {
        std::vector<uint8_t> d = reg::GetValue(key, name)->data;
        std::vector<WCHAR> w;
        for (size_t i = 0; i + 1 < d.size(); i += 2) {
            w.push_back(static_cast<WCHAR>(d[i] | d[i + 1] << 8));
        }
        return w;
    };
    EXPECT_EQ(wide("Overlong"), (std::vector<WCHAR>{'a', 0xFFFD, 'b', 0}));
    EXPECT_EQ(wide("Surrogate"), (std::vector<WCHAR>{0xFFFD, 0}));
    EXPECT_EQ(wide("TooFar"), (std::vector<WCHAR>{0xFFFD, 0}));
    EXPECT_EQ(wide("Fine"), (std::vector<WCHAR>{0xE9, 0x20AC, 0xD83C, 0xDFAE, 0}));

    // A string with line breaks, as a program may store one, is written as
    // hex(1) and read back the same.
    ASSERT_TRUE(reg::SetString(key, "Lines", "one\r\ntwo\n"));
    const std::vector<uint8_t> lines = reg::GetValue(key, "Lines")->data;
    std::string exported = reg::ExportRegText();
    EXPECT_NE(exported.find("\"Lines\"=hex(1):6f,00,6e,00,65,00,0d,00,0a,00"), std::string::npos);
    reg::Reset();
    ASSERT_TRUE(reg::ImportRegText(exported, &error)) << error;
    EXPECT_EQ(reg::GetValue(key, "Lines")->data, lines);
    EXPECT_EQ(reg::ExportRegText(), exported);
}

TEST_F(RegistryTest, ImportDeletesKeysAndValues) {
    ASSERT_TRUE(reg::SetDword("HKLM\\Software\\Old\\Deep", "x", 1));
    ASSERT_TRUE(reg::SetDword("HKLM\\Software\\Keep", "gone", 1));
    ASSERT_TRUE(reg::SetDword("HKLM\\Software\\Keep", "stays", 1));
    std::string error;
    ASSERT_TRUE(reg::ImportRegText("Windows Registry Editor Version 5.00\n\n"
                                   "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n\n"
                                   "[HKEY_LOCAL_MACHINE\\Software\\Keep]\n"
                                   "\"gone\"=-\n",
                                   &error))
        << error;
    EXPECT_FALSE(reg::KeyExists("HKLM\\Software\\Old"));
    EXPECT_FALSE(reg::GetValue("HKLM\\Software\\Keep", "gone"));
    EXPECT_TRUE(reg::GetValue("HKLM\\Software\\Keep", "stays"));
}

TEST_F(RegistryTest, MalformedFilesChangeNothing) {
    ASSERT_TRUE(reg::SetDword("HKLM\\Software\\Keep", "v", 1));
    const std::string before = reg::ExportRegText();
    struct Case {
        std::string text;
        std::string error;
    };
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
    const Case cases[] = {
        {"REGEDIT5\r\n", "line 1: not a Windows Registry Editor Version 5.00 (or REGEDIT4)"},
        {"", "empty file"},
        {head + "[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"v\"=dword:123456789\r\n",
         "line 4: dword data"},
        {head + "[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"v\"=hex:1,2,zz\r\n",
         "line 4: malformed hex data"},
        {head + "[HKEY_LOCAL_MACHINE\\Software\\Keep\r\n", "line 3: key line without"},
        {head + "[HKEY_SOMEWHERE\\Software]\r\n", "line 3: not a key below"},
        {head + "[-HKEY_LOCAL_MACHINE]\r\n", "line 3: a root key cannot be deleted"},
        {head + "\"v\"=dword:1\r\n", "line 3: value outside a key"},
        {head + "[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n\"v=dword:1\r\n",
         "line 4: unterminated value name"},
        {head + "[HKEY_LOCAL_MACHINE\\Software\\New]\r\n\"v\"=qword:1\r\n",
         "line 4: unknown data type"},
        {"\xFE\xFF\x00W", "big-endian"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(reg::ImportRegText(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(reg::ExportRegText(), before);
    }
    std::string error;
    EXPECT_FALSE(reg::ImportRegFile("/nonexistent/quillex.reg", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

// --- the bounded counted-string routines the registry path is built with ---

TEST(BoundedStrings, CopyAndAppendFailRatherThanOverrun) {
    WCHAR storage[8] = {};
    storage[6] = L'#'; // beyond MaximumLength: must survive
    UNICODE_STRING dest = {0, 6 * sizeof(WCHAR), storage};
    std::vector<WCHAR> abc = sim::WideZ("abc"), defg = sim::WideZ("defg");
    UNICODE_STRING s1, s2;
    RtlInitUnicodeString(&s1, abc.data());
    RtlInitUnicodeString(&s2, defg.data());

    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &s1), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 6u);
    EXPECT_EQ(RtlUnicodeStringCat(&dest, &s2), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 6u); // unchanged
    EXPECT_EQ(sim::Utf16ToUtf8(dest), "abc");
    EXPECT_EQ(RtlUnicodeStringCat(&dest, &s1), STATUS_SUCCESS);
    EXPECT_EQ(sim::Utf16ToUtf8(dest), "abcabc");
    EXPECT_EQ(storage[6], L'#');

    UNICODE_STRING bad = {8, 4, storage}; // Length past MaximumLength
    EXPECT_EQ(RtlUnicodeStringCopy(&bad, &s1), STATUS_INVALID_PARAMETER);
}

} // namespace
