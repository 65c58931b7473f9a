#pragma once
// A fixture that starts the storage library and its file list for each test and stops them
// after it (fixtures that need more call its SetUp and TearDown first and last).
#include <gtest/gtest.h>

#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"

class FileListTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeLibrary();
        InitializeFileList();
    }
    void TearDown() override {
        FinalizeFileList();
        FinalizeLibrary();
    }
};
