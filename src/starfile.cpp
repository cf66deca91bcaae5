#define VORN_UNIT "src/starfile"
// STAR header parsing, label index, row positioning and counting, the
// micrograph list of a CTF STAR file and the particle STAR writer.
#include "starfile.h"

#include <sys/types.h>

#include <cstdlib>
#include <cstring>

#include "report.h"
#include "str_utils.h"
#include "txt_file.h"

const char star_head_keywords[STAR_KEYWORD_COUNT + 1][STAR_LABEL_LEN] = {

    "_rlnComment", "_rlnAreaId", "_rlnAreaName",
    "_rlnBfactor", "_rlnCtfScalefactor", "_rlnVoltage",
    "_rlnPhaseShift", "_rlnDefocusU", "_rlnDefocusV",
    "_rlnDefocusAngle", "_rlnSphericalAberration", "_rlnChromaticAberration",
    "_rlnDetectorPixelSize", "_rlnEnergyLoss", "_rlnCtfFigureOfMerit",
    "_rlnCtfImage", "_rlnLensStability", "_rlnMagnification",
    "_rlnConvergenceCone", "_rlnLongitudinalDisplacement", "_rlnTransversalDisplacement",
    "_rlnAmplitudeContrast", "_rlnCtfValue", "_rlnCtfMaxResolution",
    "_rlnImageName", "_rlnReconstructImageName", "_rlnImageId",
    "_rlnEnabled", "_rlnDataType", "_rlnDataDimensionality",
    "_rlnBeamTiltX", "_rlnBeamTiltY", "_rlnBeamTiltGroupName",
    "_rlnCoordinateX", "_rlnCoordinateY", "_rlnCoordinateZ",
    "_rlnMovieFrameNumber", "_rlnNormCorrection", "_rlnMagnificationCorrection",
    "_rlnSamplingRate", "_rlnSamplingRateX", "_rlnSamplingRateY",
    "_rlnSamplingRateZ", "_rlnImageSize", "_rlnImageSizeX",
    "_rlnImageSizeY", "_rlnImageSizeZ", "_rlnMinimumValue",
    "_rlnMaximumValue", "_rlnAverageValue", "_rlnStandardDeviationValue",
    "_rlnSkewnessValue", "_rlnKurtosisExcessValue", "_rlnImageWeight",
    "_rlnMatrix_1_1", "_rlnMatrix_1_2", "_rlnMatrix_1_3",
    "_rlnMatrix_2_1", "_rlnMatrix_2_2", "_rlnMatrix_2_3",
    "_rlnMatrix_3_1", "_rlnMatrix_3_2", "_rlnMatrix_3_3",
    "_rlnMicrographId", "_rlnMicrographName", "_rlnMicrographTiltAngle",
    "_rlnMicrographTiltAxisDirection", "_rlnMicrographTiltAxisOutOfPlane", "_rlnAccuracyRotations",
    "_rlnAccuracyTranslations", "_rlnAveragePmax", "_rlnCurrentResolution",
    "_rlnCurrentImageSize", "_rlnSsnrMap", "_rlnReferenceDimensionality",
    "_rlnDataDimensionality", "_rlnDiff2RandomHalves", "_rlnGoldStandardFsc",
    "_rlnGroupName", "_rlnGroupNumber", "_rlnGroupNrParticles",
    "_rlnGroupScaleCorrection", "_rlnFourierSpaceInterpolator", "_rlnLogLikelihood",
    "_rlnMinRadiusNnInterpolation", "_rlnNormCorrectionAverage", "_rlnNrClasses",
    "_rlnNrGroups", "_rlnSpectralOrientabilityContribution", "_rlnOriginalImageSize",
    "_rlnPaddingFactor", "_rlnClassDistribution", "_rlnClassPriorOffsetX",
    "_rlnClassPriorOffsetY", "_rlnOrientationDistribution", "_rlnPixelSize",
    "_rlnReferenceSpectralPower", "_rlnOrientationalPriorMode", "_rlnReferenceImage",
    "_rlnSigmaOffsets", "_rlnSigma2Noise", "_rlnReferenceSigma2",
    "_rlnSigmaPriorRotAngle", "_rlnSigmaPriorTiltAngle", "_rlnSigmaPriorPsiAngle",
    "_rlnSignalToNoiseRatio", "_rlnTau2FudgeFactor", "_rlnReferenceTau2",
    "_rlnOverallAccuracyRotations", "_rlnOverallAccuracyTranslations", "_rlnAdaptiveOversampleFraction",
    "_rlnAdaptiveOversampleOrder", "_rlnAutoLocalSearchesHealpixOrder", "_rlnAvailableMemory",
    "_rlnBestResolutionThusFar", "_rlnCoarseImageSize", "_rlnChangesOptimalOffsets",
    "_rlnChangesOptimalOrientations", "_rlnChangesOptimalClasses", "_rlnCtfDataArePhaseFlipped",
    "_rlnExperimentalDataStarFile", "_rlnDoCorrectCtf", "_rlnDoCorrectMagnification",
    "_rlnDoCorrectNorm", "_rlnDoCorrectScale", "_rlnDoRealignMovies",
    "_rlnDoMapEstimation", "_rlnDoAutoRefine", "_rlnDoOnlyFlipCtfPhases",
    "_rlnDoSolventFlattening", "_rlnDoSkipAlign", "_rlnDoSkipRotate",
    "_rlnDoSplitRandomHalves", "_rlnDoZeroMask", "_rlnFixSigmaNoiseEstimates",
    "_rlnFixSigmaOffsetEstimates", "_rlnFixTauEstimates", "_rlnHasConverged",
    "_rlnHasHighFscAtResolLimit", "_rlnHasLargeSizeIncreaseIterationsAgo", "_rlnHighresLimitExpectation",
    "_rlnDoIgnoreCtfUntilFirstPeak", "_rlnIncrementImageSize", "_rlnCurrentIteration",
    "_rlnJoinHalvesUntilThisResolution", "_rlnMagnificationSearchRange", "_rlnMagnificationSearchStep",
    "_rlnMaximumCoarseImageSize", "_rlnMaxNumberOfPooledParticles", "_rlnModelStarFile",
    "_rlnModelStarFile2", "_rlnNumberOfIterations", "_rlnNumberOfIterWithoutResolutionGain",
    "_rlnNumberOfIterWithoutChangingAssignments", "_rlnOutputRootName", "_rlnParticleDiameter",
    "_rlnRadiusMaskMap", "_rlnRadiusMaskExpImages", "_rlnRandomSeed",
    "_rlnRefsAreCtfCorrected", "_rlnSmallestChangesClasses", "_rlnSmallestChangesOffsets",
    "_rlnSmallestChangesOrientations", "_rlnOrientSamplingStarFile", "_rlnSolventMaskName",
    "_rlnSolventMask2Name", "_rlnTauSpectrumName", "_rlnUseTooCoarseSampling",
    "_rlnWidthMaskEdge", "_rlnIsFlip", "_rlnOrientationsID",
    "_rlnOriginX", "_rlnOriginXPrior", "_rlnOriginY",
    "_rlnOriginYPrior", "_rlnOriginZ", "_rlnOriginZPrior",
    "_rlnAngleRot", "_rlnAngleRotPrior", "_rlnAngleTilt",
    "_rlnAngleTiltPrior", "_rlnAnglePsi", "_rlnAnglePsiPrior",
    "_rlnAutopickFigureOfMerit", "_rlnClassNumber", "_rlnLogLikeliContribution",
    "_rlnParticleId", "_rlnParticleFigureOfMerit", "_rlnKullbackLeibnerDivergence",
    "_rlnRandomSubset", "_rlnParticleName", "_rlnOriginalParticleName",
    "_rlnNrOfSignificantSamples", "_rlnNrOfFrames", "_rlnMaxValueProbDistribution",
    "_rlnFinalResolution", "_rlnBfactorUsedForSharpening", "_rlnFourierShellCorrelationCorrected",
    "_rlnFourierShellCorrelationMaskedMaps", "_rlnFourierShellCorrelationUnmaskedMaps", "_rlnCorrectedFourierShellCorrelationPhaseRandomizedMaskedMaps",
    "_rlnFittedInterceptGuinierPlot", "_rlnFittedSlopeGuinierPlot", "_rlnCorrelationFitGuinierPlot",
    "_rlnLogAmplitudesOriginal", "_rlnLogAmplitudesMTFCorrected", "_rlnLogAmplitudesWeighted",
    "_rlnLogAmplitudesSharpened", "_rlnLogAmplitudesIntercept", "_rlnResolutionSquared",
    "_rlnMtfValue", "_rlnIs3DSampling", "_rlnIs3DTranslationalSampling",
    "_rlnHealpixOrder", "_rlnTiltAngleLimit", "_rlnOffsetRange",
    "_rlnOffsetStep", "_rlnSamplingPerturbInstance", "_rlnSamplingPerturbFactor",
    "_rlnPsiStep", "_rlnSymmetryGroup", "_rlnSelected",
    "_rlnParticleSelectZScore", "_rlnSortedIndex", "_rlnResolution",
    "_rlnAngstromResolution", "_rlnResolutionInversePixel", "_rlnSpectralIndex",
    ""};

namespace {

constexpr int LINE_LEN = 1024;
// Header and row-positioning lines are split at these; row contents at all white space.
const char* const HEAD_DELIMS = " \t\n\r";

// The 29 labels the particle index knows, with their slots.
struct IndexLabel {
    const char* label;
    int ParticleInfoIndex::*slot;
};
const IndexLabel INDEX_LABELS[] = {
    {"_rlnBfactor", &ParticleInfoIndex::Bfactor},
    {"_rlnMicrographName", &ParticleInfoIndex::MicrographName},
    {"_rlnImageName", &ParticleInfoIndex::ImageName},
    {"_rlnCoordinateX", &ParticleInfoIndex::CoordinateX},
    {"_rlnCoordinateY", &ParticleInfoIndex::CoordinateY},
    {"_rlnVoltage", &ParticleInfoIndex::Voltage},
    {"_rlnPhaseShift", &ParticleInfoIndex::PhaseShift},
    {"_rlnDefocusU", &ParticleInfoIndex::DefocusU},
    {"_rlnDefocusV", &ParticleInfoIndex::DefocusV},
    {"_rlnDefocusAngle", &ParticleInfoIndex::DefocusAngle},
    {"_rlnSphericalAberration", &ParticleInfoIndex::SphericalAberration},
    {"_rlnDetectorPixelSize", &ParticleInfoIndex::DetectorPixelSize},
    {"_rlnMagnification", &ParticleInfoIndex::Magnification},
    {"_rlnAmplitudeContrast", &ParticleInfoIndex::AmplitudeContrast},
    {"_rlnCtfFigureOfMerit", &ParticleInfoIndex::CtfFigureOfMerit},
    {"_rlnCtfMaxResolution", &ParticleInfoIndex::CtfMaxResolution},
    {"_rlnClassNumber", &ParticleInfoIndex::ClassNumber},
    {"_rlnGroupNumber", &ParticleInfoIndex::GroupNumber},
    {"_rlnRandomSubset", &ParticleInfoIndex::RandomSubset},
    {"_rlnNormCorrection", &ParticleInfoIndex::NormCorrection},
    {"_rlnOriginX", &ParticleInfoIndex::OriginX},
    {"_rlnOriginY", &ParticleInfoIndex::OriginY},
    {"_rlnAngleRot", &ParticleInfoIndex::AngleRot},
    {"_rlnAngleTilt", &ParticleInfoIndex::AngleTilt},
    {"_rlnAnglePsi", &ParticleInfoIndex::AnglePsi},
    {"_rlnLogLikeliContribution", &ParticleInfoIndex::LogLikeliContribution},
    {"_rlnNrOfSignificantSamples", &ParticleInfoIndex::NrOfSignificantSamples},
    {"_rlnMaxValueProbDistribution", &ParticleInfoIndex::MaxValueProbDistribution},
    {"_rlnAutopickFigureOfMerit", &ParticleInfoIndex::AutopickFigureOfMerit},
};

int ParticleInfoIndex::*index_slot_of(const char* label) {
    for (const IndexLabel& l : INDEX_LABELS)
        if (std::strcmp(l.label, label) == 0) return l.slot;
    return nullptr;
}

bool begins_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }
bool is_section_word(const char* w) { return begins_with(w, "data_") || begins_with(w, "loop_"); }

enum class LineKind { blank, section, label, other };

// A label line: a table label, then "#" and its column number, whatever follows.
bool is_label_line(char** words, int n) { return n >= 2 && words[1][0] == '#' && is_star_head_keyword(words[0]); }

// Classifies one header-region line by its first two words (the line is cut in place).
LineKind star_line_kind(char* line, char** words) {
    const int n = strnsplit_inplace(line, HEAD_DELIMS, words, 2);
    if (n == 0) return LineKind::blank;
    if (is_section_word(words[0])) return LineKind::section;
    if (is_label_line(words, n)) return LineKind::label;
    return LineKind::other;
}

}  // namespace

FILE* star_open_read(const char* name, const char* func) {
    FILE* f = std::fopen(name, "r");
    if (f != nullptr) return f;
    std::printf("Cannot open file %s. Permission denied or wrong file name.\n", name);
    vorn_fatal_line(func, VORN_UNIT, __LINE__, "open file '%s' failed.", name);
}

FILE* star_open_write(const char* name, const char* func) {
    FILE* f = std::fopen(name, "w");
    if (f != nullptr) return f;
    std::printf("Cannot write to file %s. Permission denied or no space left!\n", name);
    vorn_fatal_line(func, VORN_UNIT, __LINE__, "open file '%s' failed.", name);
}

bool star_read_next_line(char* line, FILE* f) {
    read_one_line(line, f);
    return !(line[0] == '\0' && std::feof(f));
}

int star_checked_column(const char* func, const char* name, const char* label, int column, int words,
                        bool required) {
    if (column >= 1 && column <= words) return column;
    if (column == 0 && !required) return 0;
    if (column == 0)
        vorn_warning_line(func, VORN_UNIT, __LINE__, "label %s is missing in file %s!\n\033[m", label, name);
    else
        vorn_warning_line(func, VORN_UNIT, __LINE__, "column %d of label %s lies outside the %d columns of file %s!\n\033[m",
                          column, label, words, name);
    return -1;
}

// ---- records ----

StarHead* star_head_new() {
    StarHead* head = (StarHead*)std::calloc(1, sizeof(StarHead));
    if (head == nullptr) VORN_FATAL("Not enough memory for a STAR header");
    return head;
}

int star_head_empty(StarHead* head) {
    std::memset(head, 0, sizeof(StarHead));
    return 0;
}

ParticleInfoIndex* particle_info_index_new() {
    ParticleInfoIndex* index = (ParticleInfoIndex*)std::calloc(1, sizeof(ParticleInfoIndex));
    if (index == nullptr) VORN_FATAL("Not enough memory for a label index");
    return index;
}

int particle_info_index_init(ParticleInfoIndex* index) {
    for (const IndexLabel& l : INDEX_LABELS) index->*l.slot = 0;
    return 0;
}

int particle_info_init(ParticleInfo* info) {
    std::memset(info->MicrographName, 0, sizeof info->MicrographName);
    std::memset(info->ImageName, 0, sizeof info->ImageName);
    info->Bfactor = 200.0f;
    info->CoordinateX = info->CoordinateY = 0.0f;
    info->Voltage = 300.0f;
    info->PhaseShift = 0.0f;
    info->DefocusU = info->DefocusV = 20000.0f;
    info->DefocusAngle = 0.0f;
    info->SphericalAberration = 2.7f;
    info->DetectorPixelSize = 14.0f;
    info->Magnification = 78652.0f;
    info->AmplitudeContrast = 0.1f;
    info->CtfFigureOfMerit = 0.15f;
    info->CtfMaxResolution = 20.0f;
    info->ClassNumber = info->GroupNumber = info->RandomSubset = 1;
    info->NormCorrection = 0.1f;
    info->OriginX = info->OriginY = 0.0f;
    info->AngleRot = info->AngleTilt = info->AnglePsi = 0.0f;
    info->LogLikeliContribution = 10000.0f;
    info->NrOfSignificantSamples = 100;
    info->MaxValueProbDistribution = 0.1f;
    info->AutopickFigureOfMerit = 0.3f;
    return 0;
}

// ---- header ----

int is_star_head_keyword(const char* word) {
    for (int i = 0; star_head_keywords[i][0] != '\0'; ++i)
        if (std::strcmp(star_head_keywords[i], word) == 0) return 1;
    return 0;
}

// Up to 512 lines: label lines are recorded, blank and data_/loop_ lines are
// passed over, and the first other line (consumed) ends the header. A column
// number that does not fit an int is recorded as -1, which no reader takes for
// a column, after a warning naming the line (and the file, when named).
int star_read_head_named(FILE* f, StarHead* head, const char* name) {
    star_head_empty(head);
    std::rewind(f);
    WholeLines lines = whole_lines(f);
    char* words[2];
    for (int i = 0; i < STAR_HEAD_MAX_LABELS; ++i) {
        if (!read_whole_line(lines)) break;
        const LineKind kind = star_line_kind(lines.text, words);
        if (kind == LineKind::other) break;
        if (kind != LineKind::label) continue;
        const int k = head->count++;
        if (!parse_int_word(words[1] + 1, head->column[k])) {
            vorn_warning_line("star_read_head", VORN_UNIT, __LINE__,
                              "column number %s of label %s on line %ld of file %s does not fit an integer!\n\033[m",
                              words[1] + 1, words[0], lines.number, name != nullptr ? name : "(unnamed)");
            head->column[k] = -1;
        }
        std::strncpy(head->label[k], words[0], STAR_LABEL_LEN - 1);
    }
    free_whole_lines(lines);
    return 0;
}

int star_read_head(FILE* f, StarHead* head) { return star_read_head_named(f, head, nullptr); }

int starf_read_head(const char* name, StarHead* head) {
    FILE* f = star_open_read(name, "starf_read_head");
    star_read_head_named(f, head, name);
    std::fclose(f);
    return 0;
}

int set_info_index_from_star_head(StarHead* head, ParticleInfoIndex* index) {
    particle_info_index_init(index);
    for (int i = 0; i < head->count; ++i) set_info_index_from_keyword_number(head->label[i], head->column[i], index);
    return 0;
}

int set_info_index_from_starf(const char* name, ParticleInfoIndex* index) {
    StarHead* head = star_head_new();
    starf_read_head(name, head);
    set_info_index_from_star_head(head, index);
    std::free(head);
    return 0;
}

int starf_read_head_info_index(const char* name, StarHead* head, ParticleInfoIndex* index) {
    starf_read_head(name, head);
    return set_info_index_from_star_head(head, index);
}

int set_info_index_from_keyword_number(const char* label, int column, ParticleInfoIndex* index) {
    int ParticleInfoIndex::*slot = index_slot_of(label);
    if (slot != nullptr) index->*slot = column;
    return 0;
}

int get_info_index_from_keyword(const char* label, ParticleInfoIndex* index) {
    int ParticleInfoIndex::*slot = index_slot_of(label);
    return slot != nullptr ? index->*slot : 0;
}

// ---- rows ----

// Leaves the file at the start of data row n (0 = first); label, blank and
// data_/loop_ lines are not rows. With no more than n rows the file is left at
// the start of the last line read.
int star_set_pointer(FILE* f, long n) {
    std::rewind(f);
    WholeLines lines = whole_lines(f);
    char* words[2];
    long rows = 0;
    off_t last = 0;
    while (rows <= n) {
        last = ftello(f);
        if (!read_whole_line(lines)) break;
        if (star_line_kind(lines.text, words) == LineKind::other) ++rows;
    }
    free_whole_lines(lines);
    fseeko(f, last, SEEK_SET);
    return 0;
}

int star_set_next_line(FILE* f) {
    WholeLines lines = whole_lines(f);
    read_whole_line(lines);
    free_whole_lines(lines);
    return 0;
}

// Every non-blank line after the header counts; with a single label even a
// line of blanks is a row (its one value may be empty).
long get_lineN_from_star(FILE* f) {
    StarHead* head = star_head_new();
    star_read_head(f, head);
    star_set_pointer(f, 0);
    const bool single_label = head->count == 1;
    std::free(head);
    WholeLines lines = whole_lines(f);
    char* words[1];
    long rows = 0;
    while (read_whole_line(lines)) {
        // An overlong line is a row that its reader will refuse: counting it keeps room enough.
        if (lines.overlong)
            ++rows;
        else if (single_label)
            rows += lines.text[0] != '\0' && lines.text[0] != '\n';
        else
            rows += strnsplit_inplace_byspace(lines.text, words, 1) > 0;
    }
    free_whole_lines(lines);
    return rows;
}

long get_lineN_from_starf(const char* name) {
    FILE* f = star_open_read(name, __func__);
    const long rows = get_lineN_from_star(f);
    std::fclose(f);
    return rows;
}

int is_words_starhead(char** words, int n) {
    if (n == 0) return 1;
    if (n <= 2 && is_star_head_keyword(words[0])) return 1;
    // A label line with words after its column number is still a label line,
    // never a row: otherwise a header of three labels lists them as micrographs.
    if (is_label_line(words, n)) return 1;
    return is_section_word(words[0]) ? 1 : 0;
}

int read_words_from_star_line(char** words, int n, FILE* f) {
    // The words stay in this thread's line until its next call.
    thread_local WholeLines line = whole_lines(nullptr);
    line.f = f;
    if (!read_whole_line(line)) return 0;
    return strnsplit_inplace_byspace(line.text, words, n);
}

int get_starf_suffixn(char* name) {
    const size_t len = std::strlen(name);
    return (len >= 5 && std::strcmp(name + len - 5, ".star") == 0) ? 5 : 0;
}

// One 1024-character entry per data row (plus one), in row order. Rows that are
// header lines or narrower than the header are skipped. A file whose micrograph
// column is missing or lies beyond the header's columns gives empty entries.
char** get_all_micrographs_from_ctfstar(const char* name) {
    FILE* f = star_open_read(name, __func__);
    StarHead* head = star_head_new();
    star_read_head_named(f, head, name);
    ParticleInfoIndex* index = particle_info_index_new();
    set_info_index_from_star_head(head, index);
    const int c = head->count;
    const int k = star_checked_column(__func__, name, "_rlnMicrographName", index->MicrographName, c, true);
    std::free(head);
    std::free(index);

    const long rows = get_lineN_from_star(f);
    if (rows + 1 > (long)(0x7fffffff / (LINE_LEN + sizeof(char*))))
        vorn_fatal_line(__func__, VORN_UNIT, __LINE__, "too many rows (%ld) in file %s", rows, name);
    const int entries = (int)rows + 1;
    char** list = strmalloc2d(entries, LINE_LEN);
    if (list == nullptr) vorn_fatal_line(__func__, VORN_UNIT, __LINE__, "no memory for %d names", entries);
    empty2d_array((void**)list, entries, LINE_LEN, 1);

    std::rewind(f);
    WholeLines lines = whole_lines(f);
    char* words[STAR_HEAD_MAX_LABELS];
    long kept = 0;
    while (read_whole_line(lines)) {
        const int n = strnsplit_inplace_byspace(lines.text, words, c);
        if (is_words_starhead(words, n) || n < c) continue;
        // A name that does not fit its entry is refused, never cut.
        if (k > 0 && std::strlen(words[k - 1]) >= (size_t)LINE_LEN) {
            vorn_warning_line(__func__, VORN_UNIT, __LINE__, "the micrograph name on line %ld of file %s does not fit "
                              "in %d characters, row skipped!\n\033[m", lines.number, name, LINE_LEN - 1);
            continue;
        }
        if (k > 0 && kept < entries) std::strncpy(list[kept], words[k - 1], LINE_LEN - 1);
        ++kept;
    }
    free_whole_lines(lines);
    std::fclose(f);
    return list;
}

// ---- particle STAR output ----

int particle_star_write_head(FILE* f) {
    static const char* const labels[] = {
        "_rlnMicrographName",     "_rlnCoordinateX",        "_rlnCoordinateY",        "_rlnVoltage",
        "_rlnDefocusU",           "_rlnDefocusV",           "_rlnDefocusAngle",       "_rlnSphericalAberration",
        "_rlnDetectorPixelSize",  "_rlnCtfFigureOfMerit",   "_rlnMagnification",      "_rlnAmplitudeContrast",
        "_rlnAutopickFigureOfMerit", "_rlnPhaseShift"};
    std::rewind(f);
    std::fprintf(f, "\ndata_\n");
    std::fprintf(f, "\nloop_\n");
    int column = 0;
    for (const char* label : labels) std::fprintf(f, "%s #%d\n", label, ++column);
    return 0;
}

int particle_star_write_oneline(FILE* f, char* micrograph, int x, int y, float defocus_u, float defocus_v,
                                float angle, float voltage, float cs, float amplitude_contrast, float magnification,
                                float detector_pixel_size, float ctf_fom, float autopick_fom, float phase_shift) {
    std::fprintf(f,
                 "%s %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f %12.6f\n",
                 micrograph, (float)x, (float)y, voltage, defocus_u, defocus_v, angle, cs, detector_pixel_size, ctf_fom,
                 magnification, amplitude_contrast, autopick_fom, phase_shift);
    return 0;
}

// ---- entry points without behaviour ----

int star_read_one_image(FILE*, long, float*) { return 0; }
int starf_read_one_image(const char*, long, float*) { return 0; }
int starf_read_some_image(const char*, long, long, float*) { return 0; }
int starf_read_all_images(const char*, float*) { return 0; }
int starf_read_one_info(const char*, long, ParticleInfo*) { return 0; }
int starf_read_some_info(const char*, long, long, ParticleInfo*) { return 0; }
int starf_read_all_info(const char*, ParticleInfo*) { return 0; }
int star_particle_split(const char*, const char*) { return 0; }
