#include "Loader/common/ProductInfo.h"

#include <gtest/gtest.h>

#include "platform/resources/resources.h"

using platform::resources::ScopedResource;

namespace {

TEST(ProductInfo, ReadsTheVersionStrings) {
    const std::string text =
        "ProductVersion=1. 00\r\n"
        "LegalCopyright=Copyright (C) 2011 Norvale Inc.\r\n"
        "FileVersion= 1, 0, 0, 1\r\n"
        "Comments=\r\n"
        "ProductName=ZR-40\x83\x5C\x83\x74\x83\x67\r\n"  // ソフト: 0x5C trail kept
        "FileDescription=a=b\r\n"
        "OtherKey=zzz\r\n"
        "InternalName=Loader";
    ScopedResource res("VERSION", 1,
                       {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    CComProductInfo info;
    EXPECT_EQ(info.Get("ProductVersion"), "1.00");
    EXPECT_EQ(info.Get("FileVersion"), "1,0,0,1");
    EXPECT_EQ(info.Get("LegalCopyright"), "Copyright (C) 2011 Norvale Inc.");
    EXPECT_EQ(info.Get("ProductName"), "ZR-40\x83\x5C\x83\x74\x83\x67");
    EXPECT_EQ(info.Get("FileDescription"), "a=b");
    EXPECT_EQ(info.Get("InternalName"), "Loader");
    EXPECT_EQ(info.Get("Comments"), "Unknown Keyword: Comments");
    EXPECT_EQ(info.Get("OtherKey"), "Unknown Keyword: OtherKey");
    EXPECT_EQ(info.Get("productversion"), "Unknown Keyword: productversion");

    info.Set("Comments", "set");
    EXPECT_EQ(info.Get("Comments"), "set");
}

TEST(ProductInfo, MissingResourceLeavesTheMapEmpty) {
    CComProductInfo info;
    EXPECT_EQ(info.Get("ProductVersion"), "Unknown Keyword: ProductVersion");
}

}  // namespace
