% The MATLAB/Octave client against the plug-in inside the simulated host,
% started by run_octave_tests.sh with --rois 3 --volumes VOLUMES --project client-octave.
% Values are checked against what the same connection's raw data imply.
function test_live(port, volumes)
  s = NimbrelSubscription('127.0.0.1', port, 10, 30);   % the host may still be starting
  c = NimbrelClient('127.0.0.1', port, 5);
  assert(isequal(c.ServerVersion, [2 0 0]), 'handshake version');
  assert(strcmp(c.projectName(), 'client-octave'), 'project name');
  assert(c.nrOfRois() == 3, 'ROI count');
  assert(c.expectedNrOfTimePoints() == volumes, 'expected time points');
  d = c.dimsOfFunctionalData();
  coords = c.allCoordsOfVoxelsOfRoi(1);
  assert(size(coords, 1) == c.nrOfVoxelsOfRoi(1) && size(coords, 2) == 3, 'coordinates of ROI 1');
  assert(isequal(c.coordsOfVoxelOfRoi(1, 0), double(coords(1, :))), 'first voxel of ROI 1');
  try
    c.meanOfRoi(3);
    error('test:fail', 'ROI 3 of 3 was answered');
  catch err
    assert(strcmp(err.identifier, 'nmb:refused') && ...
           strcmp(err.message, 'NrOfROI out of range (ROI 3 asked; the host has 3 ROIs, 0 to 2)'), err.message);
  end

  seen = 0;
  while true
    n = s.waitForPostStep(5);
    assert(~isempty(n), 'post-step notification within 5 s');
    means = c.meansOfAllRois();
    assert(numel(means) == 3 && all(isfinite(means)), 'ROI means');
    seen = seen + 1;
    if n.timePoint >= volumes, break; end
  end
  assert(seen >= volumes - 2, 'a post-step per volume');
  n = s.next(5);
  assert(~isempty(n) && strcmp(n.name, 'PostRunCalled') && n.timePoint == volumes, 'PostRunCalled');

  % The mean of ROI 1 at a time point, recomputed from the volume.
  t = volumes - 2;
  vol = c.volumeAtTime(t);
  assert(isequal(size(vol), d), 'volume shaped [x y z]');
  idx = sub2ind(d, coords(:, 1) + 1, coords(:, 2) + 1, coords(:, 3) + 1);
  expected = mean(double(vol(idx)));
  got = c.meanOfRoiAtTimePoint(1, t);
  assert(abs(got - expected) <= 1e-3 * abs(expected), sprintf('ROI mean %g vs %g', got, expected));
  first = coords(1, :);
  assert(c.valueOfVoxelAtTime(first(1), first(2), first(3), t) == vol(idx(1)), 'single voxel value');

  % Correlations over the last 6 time points before t.
  w = 6;
  series = zeros(w, 3);
  for roi = 0:2
    m = c.existingMeansOfRoi(roi, t);
    assert(numel(m) == t, 'existing means');
    series(:, roi + 1) = double(m(end - w + 1:end));
  end
  r = corrcoef(series);
  p = c.pearsonCorrelationAtTimePoint(w, t);
  assert(max(abs(double(p(:)) - [r(1, 2); r(1, 3); r(2, 3)])) < 1e-4, 'Pearson pairs');
  assert(max(max(abs(NimbrelClient.pairMatrix(p) - r))) < 1e-4, 'Pearson matrix');
  proxy = c.instantProxyCorrelationAtTimePoint(w, t);
  assert(abs(proxy - (r(1, 2) - (r(1, 3) + r(2, 3)) / 2)) < 1e-4, 'instant proxy correlation');
  disp('live checks passed');
end
