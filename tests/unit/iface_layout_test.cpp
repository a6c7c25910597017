// The host's front end is built apart from the library and sees the context
// block as four machine words (16 bytes on the 32-bit device, events_state at
// byte 12). These tests hold the library to that binary layout.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fake_host.h"
#include "pelk_network_utils_core.h"
#include "syscall_shim.h"

namespace
{

using pelk::network::netlib_libiface_close;
using pelk::network::netlib_libiface_init;

TEST(IfaceLayout, ContextIsFourPointerSizedWordsInOrder)
{
    EXPECT_EQ(sizeof(netlib_context), 4 * sizeof(void*));
    EXPECT_EQ(alignof(netlib_context), alignof(void*));
    EXPECT_EQ(offsetof(netlib_context, front_end_marker), 0u);
    EXPECT_EQ(offsetof(netlib_context, iface_state), 1 * sizeof(void*));
    EXPECT_EQ(offsetof(netlib_context, host_reserved), 2 * sizeof(void*));
    EXPECT_EQ(offsetof(netlib_context, events_state), 3 * sizeof(void*));
}

TEST(IfaceLayout, DeviceBlockIsSixteenBytesWithEventsStateAtTwelve)
{
    if (sizeof(void*) != 4)
        GTEST_SKIP() << "the device layout applies to 32-bit targets; this build has " << sizeof(void*)
                     << "-byte pointers";
    EXPECT_EQ(sizeof(netlib_context), 16u);
    EXPECT_EQ(offsetof(netlib_context, iface_state), 4u);
    EXPECT_EQ(offsetof(netlib_context, host_reserved), 8u);
    EXPECT_EQ(offsetof(netlib_context, events_state), 12u);
}

// A front end that knows only "four words, marker in the first byte": the
// interface module must use the second word and leave every other byte alone.
class IfaceLayoutWords : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake::host().reset();
        shim::reset();
        std::memset(words_, 0xA5, sizeof(words_));
        words_[1] = 0;  // iface_state: handed over null
        words_[3] = 0;  // events_state: handed over null
        std::memcpy(expected_, words_, sizeof(words_));
    }

    void TearDown() override
    {
        if (words_[1] != 0)
            netlib_libiface_close(words_);
        shim::reset();
    }

    // Every byte other than the interface module's slot is as the host left it.
    void expect_only_iface_slot_touched() const
    {
        EXPECT_EQ(0, std::memcmp(&words_[0], &expected_[0], sizeof(words_[0])));
        EXPECT_EQ(words_[2], expected_[2]);
        EXPECT_EQ(words_[3], expected_[3]);
    }

    alignas(netlib_context) std::uintptr_t words_[4];
    std::uintptr_t expected_[4];
};

TEST_F(IfaceLayoutWords, InitFillsSecondWordAndCloseClearsIt)
{
    ASSERT_TRUE(netlib_libiface_init(words_));
    EXPECT_NE(words_[1], 0u);
    expect_only_iface_slot_touched();

    EXPECT_TRUE(netlib_libiface_close(words_));
    EXPECT_EQ(words_[1], 0u);
    expect_only_iface_slot_touched();
    EXPECT_TRUE(fake::host().logs.empty());
}

TEST_F(IfaceLayoutWords, MarkerIsReadFromTheFirstByteOnly)
{
    unsigned char* bytes = reinterpret_cast<unsigned char*>(words_);
    bytes[0] = 0;  // the rest of the first word stays non-zero
    expected_[0] = words_[0];

    EXPECT_FALSE(netlib_libiface_init(words_));
    EXPECT_EQ(words_[1], 0u);
    expect_only_iface_slot_touched();
    ASSERT_EQ(fake::host().logs.size(), 1u);
    EXPECT_EQ(fake::host().logs[0].text, "netlib: you may not call this function directly");
}

}  // namespace
