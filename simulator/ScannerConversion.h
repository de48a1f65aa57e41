// DICOM and PAR/REC replay: the scanner's files are converted by dcm2niix
// (Debian's package, or dcm2niix.exe on PATH) into NIfTI in a temporary
// folder, then replayed as NIfTI with the TR from dcm2niix's JSON sidecar.
// The caller reads the converted run and removes the folder at once.
#pragma once

#include <string>
#include <vector>

struct ConvertedRun {
  std::string folder;  // the temporary folder, to be removed
  std::string nifti;   // the picked series' image in it
  double trSeconds = 0.0;
  std::string origin;  // "DICOM series 5 (bold) of DIR", for the console
};

// Converts the series folder `folder`; with several series in it, `series`
// (its SeriesNumber) picks one, else the error lists them.
bool convertDicomFolder(const std::string& folder, int series, ConvertedRun& run, std::string& error);
// Converts one PAR/REC pair, given by its .PAR file.
bool convertParRec(const std::string& par, ConvertedRun& run, std::string& error);
// Removes the temporary folder (and everything in it).
void removeConversion(ConvertedRun& run);
