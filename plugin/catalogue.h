// The action catalogue: one table drives registration, dispatch checks and the editor.
#pragma once
#include <cstddef>

enum ParamKind : unsigned char {
    kKindNone = 0,
    kKindText = 1,
    kKindLongText = 2,
    kKindNumber = 3,
    kKindFile = 5,
    kKindVariable = 6,
};

enum ActionId : int {
    kParlyInit = 1,
    kParlySetEndpoint = 2,
    kParlySetModel = 3,
    kParlySetSystem = 4,
    kParlySetTemp = 5,
    kParlySetMaxTokens = 6,
    kParlySetMultiline = 7,
    kParlySend = 8,
    kParlyReset = 9,
    kParlyGetError = 10,
    kParlyGetModels = 11,
    kParlySetTimeout = 12,
    kParlyImageGen = 13,
    kParlySendAsync = 14,
    kParlyImageGenAsync = 15,
    kParlyCancel = 16,
    kParlyIsBusy = 17,
    kParlySetProgress = 18,
    kParlySetStreaming = 19,
    kParlySendStream = 20,
    kParlyStopStream = 21,
    kParlyClearHistory = 22,
    kParlyGetEmbedding = 23,
    kParlySendWithDoc = 24,
    kParlySendWithImage = 25,
    kParlyGetUsage = 26,
    kParlySaveHistory = 27,
    kParlyLoadHistory = 28,
};

constexpr int kFirstActionId = 1;
constexpr int kLastActionId = 28;
constexpr int kMaxParams = 5;

struct ActionEntry {
    int id;  // 0 for a heading
    const char* name;
    const char* hint;  // "" for headings, never null
    unsigned char kinds[kMaxParams];
    int count;
};

extern const ActionEntry kCatalogue[];
extern const size_t kCatalogueSize;  // 32

// The entry of an action id 1..28, or nullptr.
const ActionEntry* FindAction(int id);
