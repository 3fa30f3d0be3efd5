#include "driver/driver_info.h"

#include "driver/operations.h"

const char kDriverName[] = "Matsushita";

namespace {

// Code page 437 characters of the banner's box.
constexpr char kDoubleTopLeft = '\xC9';
constexpr char kDoubleTopRight = '\xBB';
constexpr char kDoubleBottomLeft = '\xC8';
constexpr char kDoubleBottomRight = '\xBC';
constexpr char kDoubleHorizontal = '\xCD';
constexpr char kDoubleVertical = '\xBA';
constexpr char kFullBlock = '\xDB';
constexpr char kDarkShade = '\xB2';
constexpr char kMediumShade = '\xB1';
constexpr char kLightShade = '\xB0';

constexpr int kBoxInnerWidth = 59;
constexpr const char *kMakerNotice = "(c) qivma developers";

struct BannerText {
    char bytes[kDriverBannerLength + 1] = {};
    int length = 0;

    constexpr void Put(char c, int times = 1) {
        for (int i = 0; i < times; ++i) {
            bytes[length++] = c;
        }
    }
    constexpr void Put(const char *text) {
        while (*text != '\0') {
            bytes[length++] = *text++;
        }
    }
    // A text line of the box: the text after `indent` blanks, blank-filled to
    // the box's inner width, between two vertical bars.
    constexpr void BoxLine(int indent, const char *first, const char *second = "") {
        Put(' ');
        Put(kDoubleVertical);
        const int start = length;
        Put(' ', indent);
        Put(first);
        Put(second);
        Put(' ', kBoxInnerWidth - (length - start));
        Put(kDoubleVertical);
        Put('\n');
    }
};

constexpr BannerText BuildBanner() {
    BannerText b;
    b.Put('\n');

    b.Put(' ');
    b.Put(kDoubleTopLeft);
    b.Put(kDoubleHorizontal, kBoxInnerWidth);
    b.Put(kDoubleTopRight);
    b.Put('\n');

    b.Put(' ');
    b.Put(kDoubleVertical);
    b.Put(' ');
    b.Put(kFullBlock, 5);
    b.Put(kDarkShade, 6);
    b.Put(kMediumShade, 6);
    b.Put(kLightShade, 6);
    b.Put(" Q I V M A ");
    b.Put(kLightShade, 6);
    b.Put(kMediumShade, 6);
    b.Put(kDarkShade, 6);
    b.Put(kFullBlock, 5);
    b.Put(' ');
    b.Put(kDoubleVertical);
    b.Put('\n');

    b.BoxLine(7, "Matsushita - FP3, FP5, FP10 compatible driver.");
    b.BoxLine(18, "MEWTOCOL-COM protocol");
    b.BoxLine(7, kMakerNotice, " - Version " QIVMA_VERSION_SHORT);

    b.Put(' ');
    b.Put(kDoubleBottomLeft);
    b.Put(kDoubleHorizontal, kBoxInnerWidth);
    b.Put(kDoubleBottomRight);
    b.Put('\n');
    return b;
}

constexpr BannerText kBanner = BuildBanner();
static_assert(kBanner.length == kDriverBannerLength, "the banner is 379 bytes");

}  // namespace

const char *const kDriverBanner = kBanner.bytes;

int32_t GetDriverInfo(DriverRequest *request) {
    DriverInfo *info = static_cast<DriverInfo *>(request->params);
    info->version = QIVMA_DRIVER_VERSION;
    info->driverName = kDriverName;
    info->banner = kDriverBanner;
    info->instanceSize = static_cast<int32_t>(sizeof(DriverInstance));
    info->defaultTimeout = kDefaultTimeout;
    info->defaultLineSettings = kDefaultLineSettings;
    info->reserved = 0;
    return QIV_STATUS_OK;
}
