// The 56 known block types, sorted by number, found through a number index.
#include "core/sbf/block_names.hpp"

#include <array>

#include "core/sbf/number_index.hpp"

namespace sigtap::sbf {
namespace {

constexpr std::array<BlockType, 56> kBlockTypes{{
    {4000, "MeasExtra"},       {4001, "DOP"},
    {4002, "GALNav"},          {4006, "PVTCartesian"},
    {4007, "PVTGeodetic"},     {4012, "SatVisibility"},
    {4013, "ChannelStatus"},   {4014, "ReceiverStatus"},
    {4015, "Commands"},        {4020, "GEORawL1"},
    {4027, "MeasEpoch"},       {4028, "BaseVectorGeod"},
    {4030, "GALIon"},          {4031, "GALUtc"},
    {4032, "GALGstGps"},       {4042, "GPSCNav"},
    {4043, "BaseVectorCart"},  {4044, "PosCart"},
    {4050, "ExtSensorMeas"},   {4059, "DiskStatus"},
    {4077, "INSSupport"},      {4082, "QualityInd"},
    {4092, "RFStatus"},        {4103, "RxMessage"},
    {4109, "Meas3Ranges"},     {4111, "Meas3Doppler"},
    {4120, "BDSIon"},          {4222, "ExtSensorInfo"},
    {4223, "ExtSensorStatus"}, {4224, "ImuSetup"},
    {4225, "INSNavCart"},      {4226, "INSNavGeod"},
    {4229, "ExtEventINSNavCart"}, {4230, "ExtEventINSNavGeod"},
    {4244, "VelSensorSetup"},  {4272, "NavCart"},
    {5891, "GPSNav"},          {5893, "GPSIon"},
    {5894, "GPSUtc"},          {5896, "GEONav"},
    {5902, "ReceiverSetup"},   {5905, "PosCovCartesian"},
    {5906, "PosCovGeodetic"},  {5907, "VelCovCartesian"},
    {5908, "VelCovGeodetic"},  {5911, "XPPSOffset"},
    {5914, "ReceiverTime"},    {5919, "DiffCorrIn"},
    {5921, "EndOfPVT"},        {5922, "EndOfMeas"},
    {5924, "ExtEvent"},        {5936, "Comment"},
    {5938, "AttEuler"},        {5939, "AttCovEuler"},
    {5942, "AuxAntPositions"}, {5943, "EndOfAtt"},
}};

constexpr bool sorted_by_number() {
  for (std::size_t i = 1; i < kBlockTypes.size(); ++i) {
    if (kBlockTypes[i - 1].number >= kBlockTypes[i].number) return false;
  }
  return true;
}
static_assert(sorted_by_number(), "the index spans the numbers from the first to the last");

constexpr NumberIndex<kBlockTypes.front().number, kBlockTypes.back().number> kByNumber(kBlockTypes);

}  // namespace

std::span<const BlockType> block_types() { return kBlockTypes; }

const char* block_name(std::uint16_t number) {
  const int at = kByNumber.find(number);
  return at < 0 ? nullptr : kBlockTypes[at].name;
}

}  // namespace sigtap::sbf
