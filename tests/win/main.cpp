// Test entry: output reaches CTest even if a test takes the process down, and a crash says where it happened.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace {

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    void* at = info->ExceptionRecord->ExceptionAddress;
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(at), &module);
    char name[MAX_PATH] = "unknown module";
    if (module) GetModuleFileNameA(module, name, sizeof name);
    unsigned long long offset = module ? reinterpret_cast<ULONG_PTR>(at) - reinterpret_cast<ULONG_PTR>(module) : 0;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "CRASH: exception 0x%08lx at %s+0x%llx during %s.%s\n", info->ExceptionRecord->ExceptionCode,
                 name, offset, test ? test->test_suite_name() : "-", test ? test->name() : "-");
    std::fflush(stderr);
    // End here with the exception's code rather than waiting on a debugger.
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetUnhandledExceptionFilter(ReportCrash);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
