% The MATLAB/Octave client against misbehaving_server.py: a server that
% stalls, one that closes mid-answer, one that sends an oversized length and
% one that closes before the handshake answer each give a clear error within
% the time-out instead of a hang; a wait for a host that never comes ends when
% the wait is over, and says so.
function test_failures(port)
  started = tic;
  try
    NimbrelSubscription('127.0.0.1', 1, 1, 0.6);      % nothing listens on port 1
    error('test:fail', 'connected to nobody');
  catch err
    assert(strcmp(err.identifier, 'nmb:connection'), err.message);
    assert(~isempty(strfind(err.message, 'no host answered at 127.0.0.1:1 within the 0.6 s waited')), err.message);
  end
  assert(toc(started) >= 0.4, 'gave up before the wait was over');
  try
    NimbrelClient('127.0.0.1', 1, 1, 0.3);
    error('test:fail', 'connected to nobody');
  catch err
    assert(~isempty(strfind(err.message, 'within the 0.3 s waited')), err.message);
  end
  expectFailure(@() NimbrelClient('127.0.0.1', port, 0.5), 'nmb:timeout', 'stalled handshake');
  expectFailure(@() NimbrelClient('127.0.0.1', port, 0.5), {'nmb:timeout', 'nmb:connection'}, 'closed mid-answer');
  c = NimbrelClient('127.0.0.1', port, 2);
  tic;
  expectFailure(@() c.nrOfRois(), 'nmb:protocol', 'oversized frame length');
  assert(toc < 1.5, 'oversized length refused without waiting for the body');
  assert(~c.isConnected(), 'connection closed after the oversized frame');
  expectFailure(@() c.nrOfRois(), 'nmb:connection', 'request after the connection was closed');
  refusal = 'closed the connection before answering the handshake';
  expectFailure(@() NimbrelClient('127.0.0.1', port, 2), 'nmb:connection', 'refused request client', refusal);
  expectFailure(@() NimbrelSubscription('127.0.0.1', port, 2), 'nmb:connection', 'refused subscription', refusal);
  disp('failure checks passed');
end

function expectFailure(f, ids, what, says)
  if ischar(ids), ids = {ids}; end
  started = tic;
  try
    f();
  catch err
    assert(any(strcmp(err.identifier, ids)), sprintf('%s: %s (%s)', what, err.identifier, err.message));
    if nargin >= 4
      assert(~isempty(strfind(err.message, says)) && ~isempty(strfind(err.message, 'docs/security.md')), ...
             sprintf('%s: %s', what, err.message));
    end
    assert(toc(started) < 3, sprintf('%s: took %.1f s', what, toc(started)));
    return;
  end
  error('test:fail', '%s: no error', what);
end
