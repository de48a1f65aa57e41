% Wire encoding and reply decoding of the MATLAB/Octave client, byte for byte
% against the protocol's worked examples.  Run: octave --eval test_decoding
function test_decoding()
  h = @(s) uint8(sscanf(strrep(s, ' ', ''), '%2x').');
  a = @(s) uint8(s);
  failures = 0;

  function check(cond, what)
    if ~cond
      fprintf(2, 'FAILED: %s\n', what);
      failures = failures + 1;
    end
  end
  function checkError(f, id, what)
    try
      f();
      fprintf(2, 'FAILED (no error): %s\n', what);
      failures = failures + 1;
    catch err
      if ~strcmp(err.identifier, id)
        fprintf(2, 'FAILED (%s instead of %s: %s): %s\n', err.identifier, id, err.message, what);
        failures = failures + 1;
      end
    end
  end
  function b = body(frame)
    b = frame(9:end);
    check(double(NimbrelClient.bigEndian(frame(1:8), 'int64')) == numel(b), sprintf('length field of a worked example (%d bytes)', numel(b)));
  end

  % Requests and the role message.
  check(isequal(NimbrelClient.requestFrame('tGetNrOfROIs', []), [h('00 00 00 00 00 00 00 11 00 00 00 0D'), a('tGetNrOfROIs'), 0]), ...
        'tGetNrOfROIs request frame');
  check(isequal(NimbrelClient.requestFrame('tGetMeanOfROI', 2), [h('00 00 00 00 00 00 00 16 00 00 00 0E'), a('tGetMeanOfROI'), h('00 00 00 00 02')]), ...
        'tGetMeanOfROI 2 request frame');
  check(isequal(NimbrelClient.requestFrame('x', -1), [h('00 00 00 00 00 00 00 0A 00 00 00 02'), a('x'), h('00 FF FF FF FF')]), ...
        'negative argument');
  checkError(@() NimbrelClient.requestFrame('tGetMeanOfROI', 0.5), 'nmb:argument', 'a fractional index is refused');
  checkError(@() NimbrelClient.requestFrame('tGetMeanOfROI', '0'), 'nmb:argument', 'a text index is refused');
  checkError(@() NimbrelClient.requestFrame('tGetMeanOfROI', true), 'nmb:argument', 'a logical index is refused');
  checkError(@() NimbrelClient.requestFrame('tGetMeanOfROI', 2^31), 'nmb:argument', 'an index beyond 32 bits is refused');
  check(isequal(NimbrelClient.requestFrame('tGetMeanOfROI', int8(2)), NimbrelClient.requestFrame('tGetMeanOfROI', 2)), ...
        'an integer type is accepted');

  % Gaps and repeats in the step stream.
  last = struct('pre', -1, 'post', -1);
  marks = [];
  for t = [4 5 7 7]
    [n, last] = NimbrelSubscription.markGap(struct('name', 'PostStepCalled', 'timePoint', t), last);
    marks = [marks; n.skipped, n.repeated]; %#ok<AGROW>
  end
  check(isequal(marks, [0 0; 0 0; 1 0; 0 1]), 'skipped and repeated time points are marked');
  [~, last] = NimbrelSubscription.markGap(struct('name', 'PostRunCalled', 'timePoint', 7), last);
  [n, ~] = NimbrelSubscription.markGap(struct('name', 'PostStepCalled', 'timePoint', 1), last);
  check(n.skipped == 0 && ~n.repeated, 'a new run starts without a gap');

  check(isequal(NimbrelClient.frame(NimbrelClient.textBytes('Request Socket')), [h('00 00 00 00 00 00 00 13 00 00 00 0F'), a('Request Socket'), 0]), ...
        'role message');

  % Handshake and notifications.
  answer = [h('00 00 00 00 00 00 00 1F 00 00 00 0F'), a('Request Socket'), h('00 00 00 00 02 00 00 00 00 00 00 00 00')];
  check(isequal(NimbrelClient.decodeHandshake(body(answer), 'Request Socket'), [2 0 0]), 'handshake answer');
  checkError(@() NimbrelClient.decodeHandshake([h('00 00 00 01 00'), h('00 00 00 02 00 00 00 00 00 00 00 00')], 'Request Socket'), ...
             'nmb:protocol', 'empty role in the handshake answer');
  pre = [h('00 00 00 00 00 00 00 16 00 00 00 0E'), a('PreStepCalled'), h('00 00 00 00 07')];
  n = NimbrelClient.decodeNotification(body(pre));
  check(strcmp(n.name, 'PreStepCalled') && n.timePoint == 7, 'PreStepCalled 7');

  % Scalar, indexed, array and correlation replies.
  nr = [h('00 00 00 00 00 00 00 15 00 00 00 0D'), a('tGetNrOfROIs'), h('00 00 00 00 03')];
  check(NimbrelClient.decodeInts(body(nr), 'tGetNrOfROIs', [], 1) == 3, 'tGetNrOfROIs reply');
  mean = NimbrelClient.frame([NimbrelClient.textBytes('tGetMeanOfROI'), h('00 00 00 02 3F C0 00 00')]);
  check(NimbrelClient.decodeReal(body(mean), 'tGetMeanOfROI', 2) == single(1.5), 'real 1.5');
  checkError(@() NimbrelClient.decodeReal(body(mean), 'tGetMeanOfROI', 1), 'nmb:protocol', 'wrong echoed argument');
  checkError(@() NimbrelClient.decodeReal(body(mean), 'tGetDetrendedValueOfROI', 2), 'nmb:protocol', 'wrong echoed name');
  meanBody = body(mean);
  checkError(@() NimbrelClient.decodeReal(meanBody(1:end-1), 'tGetMeanOfROI', 2), 'nmb:protocol', 'truncated real');

  coords = [h('00 00 00 00 00 00 00 3B 00 00 00 1B'), a('tGetAllCoordsOfVoxelsOfROI'), ...
            h('00 00 00 00 01 00 00 00 0A 00 00 00 14 00 00 00 05 00 00 00 0B 00 00 00 14 00 00 00 05')];
  b = body(coords);
  pos = NimbrelClient.openReply(b, 'tGetAllCoordsOfVoxelsOfROI', 1);
  c = reshape(NimbrelClient.runOf(b, pos, 'int32', 12), 3, []).';
  check(isequal(c, int32([10 20 5; 11 20 5])), 'all coords worked example');

  volume = NimbrelClient.frame([NimbrelClient.textBytes('tGetValueOfAllVoxelsAtTime'), h('00 00 00 03 00 01 7F FF 80 00 FF FF')]);
  b = body(volume);
  v = NimbrelClient.runOf(b, NimbrelClient.openReply(b, 'tGetValueOfAllVoxelsAtTime', 3), 'int16', 2);
  check(isequal(v, int16([1; 32767; -32768; -1])), '2 x 2 x 1 volume of samples');
  empty = NimbrelClient.frame([NimbrelClient.textBytes('tGetExistingMeansOfROI'), h('00 00 00 01 00 00 00 00')]);
  b = body(empty);
  check(isempty(NimbrelClient.runOf(b, NimbrelClient.openReply(b, 'tGetExistingMeansOfROI', [1 0]), 'single', 4)), 'empty run');

  pearson = [h('00 00 00 00 00 00 00 2B 00 00 00 17'), a('tGetPearsonCorrelation'), h('00 00 00 00 0A 3F 00 00 00 BF 00 00 00 3E 80 00 00')];
  b = body(pearson);
  r = NimbrelClient.runOf(b, NimbrelClient.openReply(b, 'tGetPearsonCorrelation', 10), 'single', 4);
  check(isequal(r, single([0.5; -0.5; 0.25])), 'Pearson worked example');
  check(isequal(NimbrelClient.pairMatrix(r), [1 0.5 -0.5; 0.5 1 0.25; -0.5 0.25 1]), 'pair matrix of three ROIs');
  checkError(@() NimbrelClient.pairMatrix([1 2]), 'nmb:argument', 'pair list of no ROI count');

  % Classifier and error replies.
  out = NimbrelClient.decodeClassifier(zeros(1, 0, 'uint8'));
  check(~out.produced && isempty(out.values), 'empty classifier reply');
  out = NimbrelClient.decodeClassifier([NimbrelClient.textBytes('tGetCurrentClassifierOutput'), h('00 00 00 02 3F 80 00 00')]);
  check(out.produced && out.result == 2 && isequal(out.values, single(1)), 'classifier with two classes');
  refused = [h('00 00 00 00 00 00 00 31 00 00 00 0F'), a('Wrong request!'), h('00 00 00 00 1A'), a('No function call matched!'), 0];
  try
    NimbrelClient.decodeReal(body(refused), 'tGetNothing', []);
    check(false, 'error reply raised nothing');
  catch err
    check(strcmp(err.identifier, 'nmb:refused') && strcmp(err.message, 'No function call matched!'), 'error reply text');
  end

  % Marks: the documented datagram, and a mark that cannot be sent is no error.
  check(isequal(nimbrelMarkText('feedback shown', 17, 1765270012.804113), a('Nimbrel Mark: 17 1765270012.804113 feedback shown')), ...
        'mark datagram');
  check(isequal(nimbrelMarkText(sprintf('cue\tleft'), [], 1.5), a('Nimbrel Mark: - 1.500000 cue left')), 'mark without a volume');
  long = nimbrelMarkText([repmat('a', 1, 255), char([195 169])], 1, 0);
  check(numel(long) == numel(a('Nimbrel Mark: 1 0.000000 ')) + 255, 'a long label is cut on a character boundary');
  check(nimbrelMark('x', 1, 70000) == false, 'a bad port makes a mark return false');
  recorder = udpport('LocalHost', '127.0.0.1');
  check(nimbrelMark('feedback shown', 4, recorder.LocalPort), 'a mark is sent');
  limit = NimbrelClient.deadline(2);
  while recorder.NumBytesAvailable == 0 && NimbrelClient.now() < limit, pause(0.01); end
  got = char(read(recorder, recorder.NumBytesAvailable, 'uint8'));
  check(strncmp(got, 'Nimbrel Mark: 4 ', 16) && numel(got) > 16 && strcmp(got(end-14:end), ' feedback shown'), ...
        ['the recorder gets the mark: ', got]);
  clear recorder;

  % The ledger: stages are differences of the first stamps.
  ledger = NimbrelLedger();
  ledger.stamp(3, 'trigger', 10.0);
  ledger.stamp(3, 'postStep', 10.812);
  ledger.stamp(3, 'postStep', 11.0);
  ledger.note(struct('name', 'PreStepCalled', 'timePoint', 3, 'received', 10.8));
  ledger.stamp(3, 'values', 10.813);
  ms = ledger.stages(3);
  check(abs(ms(1) - 812) < 1e-6 && abs(ms(2) - 1) < 1e-6 && isnan(ms(3)), 'ledger stages');
  seen = ledger.moments(3);
  check(seen(2) == 10.8 && all(isnan(ledger.moments(9))), 'ledger moments');
  checkError(@() ledger.stamp(1, 'later'), 'nmb:ledger', 'an unknown moment is refused');

  if failures > 0
    error('%d decoding checks failed', failures);
  end
  disp('decoding checks passed');
end
