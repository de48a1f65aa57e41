function datagram = nimbrelMarkText(label, volume, seconds)
  % nimbrelMarkText  The bytes (uint8) of one mark, as nimbrelMark sends them.
  label = char(label);
  label(ismember(label, sprintf('\t\n\r\v\f'))) = ' ';
  raw = unicode2native(label, 'UTF-8');
  if numel(raw) > 256
    raw = raw(1:256);
    % Cut on a character's boundary: drop a partial UTF-8 sequence at the end.
    while ~isempty(raw) && bitand(raw(end), 192) == 128, raw(end) = []; end
    if ~isempty(raw) && raw(end) >= 192, raw(end) = []; end
  end
  if isempty(volume)
    number = '-';
  else
    number = sprintf('%d', round(volume));
  end
  datagram = [uint8(sprintf('Nimbrel Mark: %s %.6f ', number, seconds)), uint8(raw(:)')];
end
