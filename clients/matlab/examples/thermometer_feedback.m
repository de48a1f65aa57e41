function thermometer_feedback(host, port, roi, baselineTimePoints, fullScale)
% THERMOMETER_FEEDBACK  One ROI's percent signal change as a thermometer, updated at every volume.
%
%   thermometer_feedback                      % 127.0.0.1:55555, ROI 0, baseline 1:10, full at 2 %
%   thermometer_feedback('10.0.0.5', 55555, 1, [1 20], 1.5)
%
% At every "PostStepCalled" it asks the plug-in for the ROI's mean of the
% volume just processed and shows feedback = 100 * (mean - baseline) / baseline,
% where baseline is the ROI's mean over the baseline time points (counted
% from 1, as the notifications count them).  Until the baseline is complete
% the thermometer stays empty.  Close the window to stop.
%
% All drawing is in drawThermometer below; for Psychtoolbox replace it with
% Screen('FillRect', win, colour, rect) and Screen('Flip', win).
%
% MATLAB R2020b or later, or Octave with the instrument-control package.

if nargin < 1, host = '127.0.0.1'; end
if nargin < 2, port = 55555; end
if nargin < 3, roi = 0; end
if nargin < 4, baselineTimePoints = [1 10]; end
if nargin < 5, fullScale = 2.0; end
addpath(fullfile(fileparts(mfilename('fullpath')), '..'));

c = NimbrelClient(host, port, 5);
s = NimbrelSubscription(host, port);
fig = figure('Name', 'Feedback', 'Color', 'w', 'MenuBar', 'none', 'NumberTitle', 'off');
ax = axes('Parent', fig, 'XLim', [0 1], 'YLim', [0 1.2], 'Visible', 'off');
drawThermometer(ax, 0, 'waiting for the scan');

baselineValues = [];
baseline = [];
while ishandle(fig)
  step = s.next(0.05);                 % [] when nothing arrived: keeps the window responsive
  if isempty(step), drawnow; continue; end
  if strcmp(step.name, 'PostRunCalled')
    drawThermometer(ax, 0, 'run ended');
    break;
  end
  if ~strcmp(step.name, 'PostStepCalled'), continue; end
  t = step.timePoint;                  % volumes processed so far; this volume's index is t - 1
  value = double(c.meanOfRoiAtTimePoint(roi, t - 1));
  if t >= baselineTimePoints(1) && t <= baselineTimePoints(2)
    baselineValues(end + 1) = value; %#ok<AGROW>
  end
  if isempty(baseline) && t >= baselineTimePoints(2) && ~isempty(baselineValues)
    baseline = mean(baselineValues);
  end
  if isempty(baseline)
    drawThermometer(ax, 0, sprintf('baseline (%d of %d)', t, baselineTimePoints(2)));
  else
    feedback = 100 * (value - baseline) / baseline;
    drawThermometer(ax, feedback / fullScale, sprintf('%+.2f %%', feedback));
  end
end
end

function drawThermometer(ax, fraction, label)
% Draws the thermometer filled to FRACTION (0 empty, 1 full; clipped) with LABEL under it.
cla(ax);
fraction = min(max(fraction, 0), 1);
rectangle('Parent', ax, 'Position', [0.35 0.15 0.3 1.0], 'EdgeColor', [0.2 0.2 0.2], 'LineWidth', 3);
if fraction > 0
  rectangle('Parent', ax, 'Position', [0.35 0.15 0.3 fraction], 'FaceColor', [0.91 0.44 0.32], ...
            'EdgeColor', 'none');
end
text(0.5, 0.05, label, 'Parent', ax, 'HorizontalAlignment', 'center', 'FontSize', 20);
drawnow;
end
