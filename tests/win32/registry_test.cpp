// QueryRegValue against the real registry (Wine's, when run on Linux).
#include "settings/registry_win32.h"

#include "common/win32_support.h"

#include <gtest/gtest.h>

namespace kestrane {
namespace {

constexpr const char* kTestKeyPath = "Software\\KestraneTests\\Registry";

// A scratch key under HKEY_CURRENT_USER, removed again after each test.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kTestKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    key_.Put(), nullptr),
                  ERROR_SUCCESS);
    }

    void TearDown() override
    {
        key_.Reset();
        ::RegDeleteKeyA(HKEY_CURRENT_USER, kTestKeyPath);
    }

    void Set(const char* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(::RegSetValueExA(key_.Get(), name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }

    win32::UniqueKey key_;
};

TEST_F(RegistryTest, TextValueComesBackWithoutItsTerminator)
{
    const char text[] = "3B2F6E69";
    Set("REGCODE", REG_SZ, text, sizeof text);
    RegValue value = 7;
    EXPECT_EQ(QueryRegValue(key_.Get(), "REGCODE", value), ERROR_SUCCESS);
    ASSERT_TRUE(std::holds_alternative<std::string>(value));
    EXPECT_EQ(std::get<std::string>(value), "3B2F6E69");
}

TEST_F(RegistryTest, EmptyTextValueIsEmptyText)
{
    Set("REGCODE", REG_SZ, "", 1);
    RegValue value;
    EXPECT_EQ(QueryRegValue(key_.Get(), "REGCODE", value), ERROR_SUCCESS);
    ASSERT_TRUE(std::holds_alternative<std::string>(value));
    EXPECT_EQ(std::get<std::string>(value), "");
}

TEST_F(RegistryTest, NumberValueIsASignedNumber)
{
    const DWORD number = 0xFFFFFFFE;
    Set("Count", REG_DWORD, &number, sizeof number);
    RegValue value;
    EXPECT_EQ(QueryRegValue(key_.Get(), "Count", value), ERROR_SUCCESS);
    ASSERT_TRUE(std::holds_alternative<std::int32_t>(value));
    EXPECT_EQ(std::get<std::int32_t>(value), -2);
}

TEST_F(RegistryTest, UnsupportedTypesGiveMinusOneAndNoValue)
{
    const char expandable[] = "%TEMP%\\x";
    const char binary[] = {1, 2, 3};
    const char multi[] = "a\0b\0";
    Set("Expandable", REG_EXPAND_SZ, expandable, sizeof expandable);
    Set("Binary", REG_BINARY, binary, sizeof binary);
    Set("Multi", REG_MULTI_SZ, multi, sizeof multi);
    for (const char* name : {"Expandable", "Binary", "Multi"}) {
        RegValue value = std::string("stale");
        EXPECT_EQ(QueryRegValue(key_.Get(), name, value), -1) << name;
        EXPECT_TRUE(std::holds_alternative<std::monostate>(value)) << name;
    }
}

TEST_F(RegistryTest, AbsentValueGivesTheRegistryError)
{
    RegValue value = std::string("stale");
    EXPECT_EQ(QueryRegValue(key_.Get(), "Nothing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(value));
}

TEST(RegistryKeyTest, AbsentKeyCannotBeOpened)
{
    // The load step opens the key first; an absent key never reaches the
    // reader, and the settings count as missing.
    win32::UniqueKey key;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KestraneTests\\NoSuchKey", 0, KEY_QUERY_VALUE,
                              key.Put()),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace kestrane
