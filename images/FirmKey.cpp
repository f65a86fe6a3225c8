// The descrambling key of the carried firmware image: product data, delivered with the image.
#include "images/FirmKey.h"

namespace {

constexpr char kKeyText[] =
    "^LWT!?%IPPV@_YBU?Y=J'-WS+XW&$3E$939/TH&=!V'N>T_54Z"
    "U6?PB\\0/]DC@$>QS5A;D+:6<!\"X)DEY92MVT#)K!(&'K3K+D6="
    "GA(#[*J-Q,KK)5E5QW23WN!IR'2\\R:?V/>EEI6TMH^]-=*(4OD"
    "?PJ?OB-\\U#\\@1+K/UQ+0H:C<1\\:!3F^$FIR*7.:6%N2<A#X2:1"
    "<O\"*(#1+Y#9I:!JB?AV5YST\"H=T+-DDW_YOS+<_Z&U\\B5<SVQ."
    "6IJ4U?PS4MW@-X+N\\B+I?L]![A>IS8V42&2-Y.&#:0D.])M(]F"
    "OJ6J9/4=V:]D:'$[TT5+/)#7_C+/5$A\\[D >IDTN3W'+>]!*NW"
    "UXYAX\\W@'!5_(IPQ=]00 'C$]G:E)EHOX=Y3(1ED/G*\"&#LH92"
    "&;6Z\\W#LJTXC==$?MRFCNNF(A[V!2ZWOD7G2,2,LGAA,<-V43N"
    "H?QJG455M[@PAC #)60$$@XI7:,^$0H+Q#EX\"LHIW>/WPC,7-O";

static_assert(sizeof kKeyText == kFirmKeyLength + 1, "the key is 500 characters and its terminating zero");

}  // namespace

const std::uint8_t* FirmKeyCycle() {
    return reinterpret_cast<const std::uint8_t*>(kKeyText);
}
