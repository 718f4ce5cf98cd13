// XPC objects, dictionaries and their reference counts.

#include <XPCTesting/Objects.h>
#include <gtest/gtest.h>
#include <xpc/xpc.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>

namespace {

struct TypeCase
{
    const char* fName;
    std::function<xpc_object_t()> fCreate;
    xpc_type_t fType;
};

void PrintTo(const TypeCase& value, std::ostream* out)
{
    *out << value.fName;
}

class ObjectTypeTest : public testing::TestWithParam<TypeCase>
{};

TEST_P(ObjectTypeTest, EachKindOfObjectHasItsTypeAndTypeName)
{
    xpc_object_t object = GetParam().fCreate();
    EXPECT_EQ(xpc_get_type(object), GetParam().fType);
    EXPECT_STREQ(xpc_type_get_name(xpc_get_type(object)), GetParam().fName);
    xpc_release(object);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ObjectTypeTest,
    testing::Values(TypeCase{"dictionary", [] { return xpc_dictionary_create(nullptr, nullptr, 0); },
                             XPC_TYPE_DICTIONARY},
                    TypeCase{"uint64", [] { return xpc_uint64_create(1); }, XPC_TYPE_UINT64},
                    TypeCase{"int64", [] { return xpc_int64_create(-1); }, XPC_TYPE_INT64},
                    TypeCase{"string", [] { return xpc_string_create("text"); }, XPC_TYPE_STRING},
                    TypeCase{"bool", [] { return xpc_bool_create(true); }, XPC_TYPE_BOOL},
                    TypeCase{"array", [] { return xpc_array_create(nullptr, 0); }, XPC_TYPE_ARRAY},
                    TypeCase{"data", [] { return xpc_data_create("ab", 2); }, XPC_TYPE_DATA},
                    TypeCase{"connection",
                             [] {
                                 xpc_connection_t connection = xpc_connection_create_mach_service(
                                     "com.vork.tests.xpc.type", nullptr, 0);
                                 return static_cast<xpc_object_t>(connection);
                             },
                             XPC_TYPE_CONNECTION},
                    TypeCase{"error", [] { return XPC_ERROR_CONNECTION_INVALID; }, XPC_TYPE_ERROR}),
    testing::PrintToStringParamName());

struct ValueCase
{
    const char* fName;
    std::function<xpc_object_t()> fValue;
    uint64_t fUInt64;
    const char* fString;
};

void PrintTo(const ValueCase& value, std::ostream* out)
{
    *out << value.fName;
}

class DictionaryValueTest : public testing::TestWithParam<ValueCase>
{};

TEST_P(DictionaryValueTest, GettersAnswerOnlyForAValueOfTheirType)
{
    xpc_object_t dictionary = xpc_dictionary_create(nullptr, nullptr, 0);
    if (xpc_object_t value = GetParam().fValue()) {
        xpc_dictionary_set_value(dictionary, "key", value);
        xpc_release(value);
    }

    EXPECT_EQ(xpc_dictionary_get_uint64(dictionary, "key"), GetParam().fUInt64);
    const char* string = xpc_dictionary_get_string(dictionary, "key");
    if (GetParam().fString != nullptr) {
        EXPECT_STREQ(string, GetParam().fString);
    } else {
        EXPECT_EQ(string, nullptr);
    }
    xpc_release(dictionary);
}

INSTANTIATE_TEST_SUITE_P(Values, DictionaryValueTest,
                         testing::Values(ValueCase{"Missing", [] { return nullptr; }, 0, nullptr},
                                         ValueCase{"UInt64", [] { return xpc_uint64_create(7); }, 7, nullptr},
                                         ValueCase{"Int64", [] { return xpc_int64_create(7); }, 0, nullptr},
                                         ValueCase{"String", [] { return xpc_string_create("7"); }, 0, "7"},
                                         ValueCase{"Bool", [] { return xpc_bool_create(true); }, 0, nullptr}),
                         testing::PrintToStringParamName());

TEST(XPCDictionary, SettersReplaceAndRemoveAndTheCountFollows)
{
    const char* keys[] = {"a", "b"};
    xpc_object_t values[] = {xpc_uint64_create(1), xpc_string_create("two")};
    xpc_object_t dictionary = xpc_dictionary_create(keys, values, 2);
    xpc_release(values[0]);
    xpc_release(values[1]);
    EXPECT_EQ(xpc_dictionary_get_count(dictionary), 2u);

    xpc_dictionary_set_uint64(dictionary, "a", 3);
    xpc_dictionary_set_string(dictionary, "c", "three");
    xpc_dictionary_set_value(dictionary, "b", nullptr);

    EXPECT_EQ(xpc_dictionary_get_count(dictionary), 2u);
    EXPECT_EQ(xpc_dictionary_get_uint64(dictionary, "a"), 3u);
    EXPECT_EQ(xpc_dictionary_get_value(dictionary, "b"), nullptr);
    EXPECT_STREQ(xpc_dictionary_get_string(dictionary, "c"), "three");
    xpc_release(dictionary);
}

TEST(XPCObjects, ReferencesKeepObjectsAliveAndTheLastReleaseFreesThem)
{
    size_t before = XPCTesting::liveValueCount();
    xpc_object_t string = xpc_string_create("kept");
    xpc_object_t dictionary = xpc_dictionary_create(nullptr, nullptr, 0);
    xpc_object_t array = xpc_array_create(&string, 1);
    xpc_dictionary_set_value(dictionary, "value", string);
    EXPECT_EQ(XPCTesting::liveValueCount(), before + 3);

    EXPECT_EQ(xpc_retain(string), string);
    xpc_release(string);
    xpc_release(string);
    EXPECT_EQ(xpc_dictionary_get_value(dictionary, "value"), string);
    EXPECT_EQ(xpc_array_get_value(array, 0), string);
    EXPECT_STREQ(xpc_string_get_string_ptr(xpc_dictionary_get_value(dictionary, "value")), "kept");
    xpc_release(dictionary);
    EXPECT_EQ(XPCTesting::liveValueCount(), before + 2);
    EXPECT_STREQ(xpc_string_get_string_ptr(xpc_array_get_value(array, 0)), "kept");

    xpc_release(array);
    EXPECT_EQ(XPCTesting::liveValueCount(), before);
}

TEST(XPCObjects, ValuesReadBackAndArraysAndDataHoldWhatTheyWereGiven)
{
    xpc_object_t values[] = {xpc_int64_create(-5), xpc_bool_create(true), xpc_data_create("\x00\x01\x02", 3)};
    xpc_object_t array = xpc_array_create(values, 2);
    xpc_array_append_value(array, values[2]);

    EXPECT_EQ(xpc_array_get_count(array), 3u);
    EXPECT_EQ(xpc_int64_get_value(xpc_array_get_value(array, 0)), -5);
    EXPECT_TRUE(xpc_bool_get_value(xpc_array_get_value(array, 1)));
    EXPECT_EQ(xpc_data_get_length(values[2]), 3u);
    EXPECT_EQ(memcmp(xpc_data_get_bytes_ptr(values[2]), "\x00\x01\x02", 3), 0);
    EXPECT_EQ(xpc_array_get_value(array, 3), nullptr);
    EXPECT_EQ(xpc_uint64_get_value(values[0]), 0u);
    for (xpc_object_t value : values) {
        xpc_release(value);
    }
    xpc_release(array);
}

TEST(XPCErrors, TheConnectionErrorsAreSingletonsWithTheirDescriptions)
{
    EXPECT_EQ(xpc_get_type(XPC_ERROR_CONNECTION_INTERRUPTED), XPC_TYPE_ERROR);
    EXPECT_STREQ(xpc_dictionary_get_string(XPC_ERROR_CONNECTION_INTERRUPTED, XPC_ERROR_KEY_DESCRIPTION),
                 "Connection interrupted");
    EXPECT_STREQ(xpc_dictionary_get_string(XPC_ERROR_CONNECTION_INVALID, XPC_ERROR_KEY_DESCRIPTION),
                 "Connection invalid");
    EXPECT_EQ(xpc_retain(XPC_ERROR_CONNECTION_INVALID), XPC_ERROR_CONNECTION_INVALID);
    xpc_release(XPC_ERROR_CONNECTION_INVALID);
    xpc_release(XPC_ERROR_CONNECTION_INVALID);
    EXPECT_EQ(XPC_ERROR_CONNECTION_INVALID, XPC_ERROR_CONNECTION_INVALID);
    EXPECT_EQ(xpc_dictionary_get_count(XPC_ERROR_CONNECTION_INVALID), 1u);
}

TEST(XPCObjectsDeathTest, SettingOnAnObjectThatIsNotADictionaryEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    xpc_object_t array = xpc_array_create(nullptr, 0);
    EXPECT_DEATH(xpc_dictionary_set_uint64(array, "key", 1),
                 "xpc_dictionary_set_uint64: the object is not a dictionary");
    xpc_release(array);
}

} // namespace
