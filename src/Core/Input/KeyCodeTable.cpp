#include "Core/Input/KeyCodeTable.h"

#include <array>
#include <utility>

namespace KeyCodeTable {
namespace {

// (settings key code, X keycode). X keycodes are evdev codes + 8.
constexpr std::pair<uint16_t, uint8_t> kPairs[] = {
    // letters
    {0, 38},
    {1, 39},
    {2, 40},
    {3, 41},
    {4, 43},
    {5, 42},
    {6, 52},
    {7, 53},
    {8, 54},
    {9, 55},
    {11, 56},
    {12, 24},
    {13, 25},
    {14, 26},
    {15, 27},
    {16, 29},
    {17, 28},
    {31, 32},
    {32, 30},
    {34, 31},
    {35, 33},
    {37, 46},
    {38, 44},
    {40, 45},
    {45, 57},
    {46, 58},
    // digits row
    {18, 10},
    {19, 11},
    {20, 12},
    {21, 13},
    {23, 14},
    {22, 15},
    {26, 16},
    {28, 17},
    {25, 18},
    {29, 19},
    {27, 20},
    {24, 21},
    // punctuation
    {33, 34},
    {30, 35},
    {41, 47},
    {39, 48},
    {50, 49},
    {42, 51},
    {43, 59},
    {47, 60},
    {44, 61},
    {10, 94},  // the ISO key beside left shift
    // editing and whitespace
    {36, 36},
    {48, 23},
    {49, 65},
    {51, 22},
    {53, 9},
    {117, 119},
    {114, 118},
    // navigation
    {115, 110},
    {116, 112},
    {119, 115},
    {121, 117},
    {123, 113},
    {124, 114},
    {125, 116},
    {126, 111},
    // modifiers: command is Super, option is Alt (right Alt is often AltGr)
    {54, 134},
    {55, 133},
    {56, 50},
    {57, 66},
    {58, 64},
    {59, 37},
    {60, 62},
    {61, 108},
    {62, 105},
    // function keys
    {122, 67},
    {120, 68},
    {99, 69},
    {118, 70},
    {96, 71},
    {97, 72},
    {98, 73},
    {100, 74},
    {101, 75},
    {109, 76},
    {103, 95},
    {111, 96},
    {105, 191},
    {107, 192},
    {113, 193},
    {106, 194},
    {64, 195},
    {79, 196},
    {80, 197},
    {90, 198},
    // keypad
    {65, 91},
    {67, 63},
    {69, 86},
    {71, 77},
    {75, 106},
    {76, 104},
    {78, 82},
    {81, 125},
    {82, 90},
    {83, 87},
    {84, 88},
    {85, 89},
    {86, 83},
    {87, 84},
    {88, 85},
    {89, 79},
    {91, 80},
    {92, 81},
    // media and Japanese keys
    {72, 123},
    {73, 122},
    {74, 121},
    {110, 135},
    {93, 132},
    {94, 97},
    {95, 103},
    {102, 131},
    {104, 130},
};

struct Tables {
    std::array<uint8_t, 128> toX{};
    std::array<uint16_t, 256> fromX{};
    Tables() {
        fromX.fill(kUnmapped);
        for (auto [mac, x] : kPairs) {
            toX[mac] = x;
            fromX[x] = mac;
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

}  // namespace

uint8_t xKeycodeFor(uint16_t keyCode) { return keyCode < 128 ? tables().toX[keyCode] : 0; }

uint16_t keyCodeForX(uint8_t xKeycode) { return tables().fromX[xKeycode]; }

}  // namespace KeyCodeTable
