#include "simulator/ScannerConversion.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "simulator/JsonSidecar.h"
#include "simulator/platform/System.h"

namespace fs = std::filesystem;

namespace {

const char kInstallHint[] =
    "dcm2niix is not installed: install it (Debian: apt-get install dcm2niix; ./dev run does so; Windows: "
    "put dcm2niix.exe on PATH) or convert the data to NIfTI and use --nifti";

// The last non-empty line of dcm2niix's output, for an error.
std::string lastLine(const std::string& path) {
  std::ifstream file(path);
  std::string line, last;
  while (std::getline(file, line))
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  return last;
}

struct Image {
  std::string nifti, sidecar, protocol;
  int series = -1;
  double trSeconds = 0.0;
};

bool convert(const std::string& input, const std::string& what, ConvertedRun& run, std::vector<Image>& images,
             std::string& error) {
  const std::string program = simsys::findProgram("dcm2niix");
  if (program.empty()) {
    error = kInstallHint;
    return false;
  }
  run.folder = simsys::makeTemporaryFolder("nimbrel-sim-convert-");
  if (run.folder.empty()) {
    error = "cannot make a temporary folder for dcm2niix's output";
    return false;
  }
  const std::string log = (fs::path(run.folder) / "dcm2niix.log").string();
  const fs::path out = fs::path(run.folder) / "out";
  fs::create_directory(out);
  const int status =
      simsys::runProgram(program, {"-b", "y", "-z", "n", "-f", "%s_%p", "-o", out.string(), input}, log);
  for (const fs::directory_entry& entry : fs::directory_iterator(out)) {
    if (entry.path().extension() != ".nii") continue;
    Image image;
    image.nifti = entry.path().string();
    image.sidecar = fs::path(entry.path()).replace_extension(".json").string();
    std::map<std::string, JsonValue> values;
    std::string why;
    if (readJsonSidecar(image.sidecar, values, why)) {
      if (values.count("SeriesNumber") && values["SeriesNumber"].isNumber)
        image.series = static_cast<int>(values["SeriesNumber"].number);
      image.protocol = values.count("ProtocolName")        ? values["ProtocolName"].text
                       : values.count("SeriesDescription") ? values["SeriesDescription"].text
                                                           : "";
      if (values.count("RepetitionTime") && values["RepetitionTime"].isNumber)
        image.trSeconds = values["RepetitionTime"].number;
    }
    images.push_back(image);
  }
  std::sort(images.begin(), images.end(), [](const Image& a, const Image& b) {
    return a.series != b.series ? a.series < b.series : a.nifti < b.nifti;
  });
  if (images.empty()) {
    const std::string said = lastLine(log);
    error = "dcm2niix found no image in " + what +
            (status != 0 ? " (status " + std::to_string(status) + ")" : "") +
            (said.empty() ? "" : ": " + said);
    return false;
  }
  return true;
}

// A sidecar without "RepetitionTime" leaves the TR to the NIfTI header or --tr-ms.
void pick(const Image& image, const std::string& origin, ConvertedRun& run) {
  run.nifti = image.nifti;
  run.trSeconds = image.trSeconds;
  run.origin = origin;
}

}  // namespace

bool convertDicomFolder(const std::string& folder, int series, ConvertedRun& run, std::string& error) {
  std::error_code failed;
  if (!fs::is_directory(folder, failed)) {
    error = "--dicom: " + folder + " is not a folder (give the folder of one DICOM series)";
    return false;
  }
  std::vector<Image> images;
  if (!convert(folder, folder, run, images, error)) return false;
  std::vector<int> numbers;
  for (const Image& image : images)
    if (numbers.empty() || numbers.back() != image.series) numbers.push_back(image.series);
  auto list = [&images]() {
    std::string text;
    int last = -2;
    for (const Image& image : images) {
      if (image.series == last) continue;
      last = image.series;
      text += (text.empty() ? "" : ", ") + std::to_string(image.series) +
              (image.protocol.empty() ? "" : " (" + image.protocol + ")");
    }
    return text;
  };
  if (series < 0 && numbers.size() > 1) {
    error = "--dicom: " + folder + " holds " + std::to_string(numbers.size()) + " series: " + list() +
            "; pick one with --series N";
    return false;
  }
  const int wanted = series >= 0 ? series : numbers.front();
  const auto found =
      std::find_if(images.begin(), images.end(), [wanted](const Image& i) { return i.series == wanted; });
  if (found == images.end()) {
    error = "--series " + std::to_string(series) + ": " + folder + " holds series " + list();
    return false;
  }
  pick(*found,
       "DICOM series " + std::to_string(wanted) +
           (found->protocol.empty() ? "" : " (" + found->protocol + ")") + " of " + folder,
       run);
  return true;
}

bool convertParRec(const std::string& par, ConvertedRun& run, std::string& error) {
  const fs::path path(par);
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
  if (extension != ".par") {
    error = "--parrec: " + par + " is not a .PAR file";
    return false;
  }
  std::error_code failed;
  if (!fs::is_regular_file(path, failed)) {
    error = "--parrec: cannot open " + par;
    return false;
  }
  const bool upper = path.extension() == ".PAR";
  const fs::path rec = fs::path(path).replace_extension(upper ? ".REC" : ".rec");
  if (!fs::is_regular_file(rec, failed)) {
    error = "--parrec: " + par + " has no " + rec.filename().string() + " beside it";
    return false;
  }
  std::vector<Image> images;
  if (!convert(par, par, run, images, error)) return false;
  pick(images.front(), "PAR/REC " + par, run);
  return true;
}

void removeConversion(ConvertedRun& run) {
  if (run.folder.empty()) return;
  std::error_code ignored;
  fs::remove_all(run.folder, ignored);
  run.folder.clear();
}
